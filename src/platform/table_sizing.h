// Sizing the adapter table. The system fills a caller's block and answers
// "too small", with the size it needs, when the block cannot hold the table;
// an adapter attached between the call that asks for the size and the call
// that fills the block makes it answer "too small" again, which is just what
// happens at boot. Portable, so that every platform sizes the same way and
// the native tests can drive it with any sequence of answers.
#pragma once

#include <cstddef>
#include <functional>

namespace platform {

enum class TableAnswer { Filled, TooSmall, Failed };

struct TableCall {
    TableAnswer answer = TableAnswer::Failed;
    std::size_t needed = 0;  // with TooSmall: the size the table needs now
};

// How many times a block is sized again after it turned out too small for a
// table that grew meanwhile, before the query counts as failed.
constexpr int kTableResizes = 4;

// Asks with an empty block for the size, fills a block of that size, and
// sizes again while the table keeps growing. When the first call answers
// anything but "too small", the second is made with the size still zero.
// True when a call filled the block.
inline bool sizeAndFillTable(const std::function<TableCall(std::size_t capacity)>& call) {
    const TableCall first = call(0);
    std::size_t capacity = first.answer == TableAnswer::TooSmall ? first.needed : 0;
    TableCall last = call(capacity);
    for (int resize = 0; last.answer == TableAnswer::TooSmall && resize < kTableResizes; ++resize) {
        capacity = last.needed;
        last = call(capacity);
    }
    return last.answer == TableAnswer::Filled;
}

}  // namespace platform
