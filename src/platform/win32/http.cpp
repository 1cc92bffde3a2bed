// PLACEHOLDER until this area is written; replaced by its real code.
#include "platform/http.h"
namespace platform { HttpRead httpGetOnce(const std::wstring&, std::size_t) { return {}; }
std::wstring ansiToWide(const std::string&) { return {}; } }
