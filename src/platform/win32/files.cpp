// PLACEHOLDER until this area is written; replaced by its real code.
#include "platform/files.h"
namespace platform { bool fileExists(const std::wstring&) { return false; }
bool copyFileOver(const std::wstring&, const std::wstring&) { return false; }
ProfileRead readProfileString(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring& f, std::size_t) { return {f, f.size()}; }
bool writeProfileString(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&) { return false; } }
