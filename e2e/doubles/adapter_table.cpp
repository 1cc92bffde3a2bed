// Yardstick for the tool's adapter lookups: the two adapter-table queries
// of a run (the matching pass and the check after it), each a call that
// sizes the table and one that fills it. Exit 0 when both were filled.
#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <vector>

namespace {

bool queryOnce() {
    ULONG length = 0;
    if (GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_GATEWAYS, nullptr, nullptr, &length) != ERROR_BUFFER_OVERFLOW) {
        return false;
    }
    std::vector<ULONGLONG> block((length + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));  // aligned for the entries
    return GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_GATEWAYS, nullptr,
                                reinterpret_cast<IP_ADAPTER_ADDRESSES*>(block.data()), &length) == ERROR_SUCCESS;
}

}  // namespace

int main() {
    const bool first = queryOnce();
    const bool second = queryOnce();
    return first && second ? 0 : 1;
}
