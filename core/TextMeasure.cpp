#include "TextMeasure.h"

#include <windows.h>

#include "Errors.h"
#include "WinHandles.h"

namespace {

inline void DeleteDcRelease(HDC dc) { DeleteDC(dc); }
inline void DeleteFontRelease(HFONT font) { DeleteObject(font); }
using UniqueMemoryDC = UniqueResource<HDC, DeleteDcRelease>;
using UniqueFont = UniqueResource<HFONT, DeleteFontRelease>;

// Keeps an object selected into a DC for its lifetime and puts the previous one back.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ obj) : dc_(dc), previous_(SelectObject(dc, obj)) {}
    ~SelectedObject() {
        if (previous_ && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    bool valid() const { return previous_ && previous_ != HGDI_ERROR; }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

}  // namespace

std::uint8_t PaintingCharset(std::int32_t FontCharset, std::uint8_t Current) {
    return FontCharset >= 0 && FontCharset <= 255 ? static_cast<std::uint8_t>(FontCharset) : Current;
}

int MeasureTextHeight(const std::wstring& Text, const std::wstring& FontFace, std::int32_t FontSize,
                      std::uint8_t Style, std::uint8_t Charset) {
    UniqueMemoryDC dc(CreateCompatibleDC(nullptr));
    if (!dc.valid()) RaiseLastOSError(L"CreateCompatibleDC");
    // Points to pixels as a font size is given: negative, so it is the character height.
    const int height = -MulDiv(FontSize, GetDeviceCaps(dc.get(), LOGPIXELSY), 72);
    UniqueFont font(CreateFontW(height, 0, 0, 0, (Style & 1) ? FW_BOLD : FW_NORMAL, (Style & 2) ? TRUE : FALSE,
                                (Style & 4) ? TRUE : FALSE, FALSE, Charset, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, FontFace.c_str()));
    if (!font.valid()) RaiseLastOSError(L"CreateFontW");
    const SelectedObject selected(dc.get(), font.get());
    if (!selected.valid()) RaiseLastOSError(L"SelectObject");
    RECT rect{0, 0, 0, 0};
    // DrawTextW takes the length as an int; a longer text is measured by its start.
    const int length = Text.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(Text.size());
    const int measured = DrawTextW(dc.get(), Text.c_str(), length, &rect, DT_CALCRECT | DT_NOPREFIX);
    if (measured == 0 && !Text.empty()) RaiseLastOSError(L"DrawTextW");
    return rect.bottom - rect.top;
}
