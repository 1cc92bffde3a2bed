// A caller's text buffer of readLimit / 2 characters, as the fetch is given,
// with guard characters behind it that no fetch may touch.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct GuardedBuffer {
    explicit GuardedBuffer(unsigned readLimit, wchar_t fill = L'\0')
        : capacity(readLimit / 2), storage(readLimit / 2 + 8, L'#') {
        for (std::size_t i = 0; i < capacity; ++i) storage[i] = fill;
    }
    wchar_t* data() { return storage.data(); }
    std::wstring text() const { return std::wstring(storage.data()); }
    bool guardsIntact() const {
        for (std::size_t i = capacity; i < storage.size(); ++i) {
            if (storage[i] != L'#') return false;
        }
        return true;
    }
    std::size_t capacity;
    std::vector<wchar_t> storage;
};
