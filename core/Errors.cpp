#include "Errors.h"

#include <windows.h>

#include <new>

namespace {

std::wstring SystemMessage(unsigned long code) {
    wchar_t buf[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 512, nullptr);
    std::wstring text(buf, n);
    while (!text.empty() && (text.back() <= L' ')) text.pop_back();
    return text;
}

std::wstring Widen(const char* s) {
    std::wstring w;
    for (; *s; ++s) w += static_cast<wchar_t>(static_cast<unsigned char>(*s));
    return w;
}

}  // namespace

void RaiseOSError(unsigned long code, const std::wstring& operation) {
    std::wstring msg = L"System Error.  Code: " + std::to_wstring(code) + L".";
    const std::wstring text = SystemMessage(code);
    if (!text.empty()) msg += L" " + text;
    if (!operation.empty()) msg = operation + L": " + msg;
    throw EOSError(msg);
}

void RaiseLastOSError(const std::wstring& operation) { RaiseOSError(GetLastError(), operation); }

std::wstring ExceptionText(const std::exception& e) {
    if (auto v = dynamic_cast<const Exception*>(&e)) return v->ClassNameW() + L" " + v->Message();
    if (dynamic_cast<const std::bad_alloc*>(&e)) return L"EOutOfMemory Out of memory";
    if (dynamic_cast<const std::out_of_range*>(&e)) return L"ERangeError Range check error";
    return L"Exception " + Widen(e.what());
}
