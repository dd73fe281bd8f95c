#include "UrlUserInfo.h"

namespace {

bool EndsAuthority(wchar_t c) {
    switch (c) {
    case L'/':
    case L'?':
    case L'#':
    case L'"':
    case L'\'':
    case L'<':
    case L'>':
        return true;
    default:
        return c <= L' ';
    }
}

}  // namespace

std::wstring WithoutUrlUserInfo(const std::wstring& Text) {
    static const std::wstring marker = L"://";
    std::size_t at = Text.find(marker);
    if (at == std::wstring::npos) return Text;
    std::wstring out;
    out.reserve(Text.size());
    std::size_t copied = 0;
    while (at != std::wstring::npos) {
        const std::size_t authority = at + marker.size();
        std::size_t end = authority;
        while (end < Text.size() && !EndsAuthority(Text[end])) ++end;
        const std::size_t userEnd = Text.rfind(L'@', end - 1);
        if (userEnd != std::wstring::npos && userEnd >= authority && userEnd < end) {
            out.append(Text, copied, authority - copied);
            copied = userEnd + 1;
        }
        at = Text.find(marker, end);
    }
    out.append(Text, copied, std::wstring::npos);
    return out;
}
