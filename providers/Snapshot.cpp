// SNAPSHOT: the main window's picture drawn over a background picture or colour and
// written as a PNG or JPEG file.
#include <algorithm>

#include "Canvas.h"
#include "Checked.h"
#include "Collector.h"
#include "Includes.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "OutputPaths.h"
#include "SmallItems.h"
#include "Templates.h"
#include "Threads.h"
#include "Utils.h"
#include "WinApp.h"

namespace {

// ---- platform -------------------------------------------------------------------------

// The window's picture as it stands on its canvas, from its top-left corner.
PixelImage CopyWindow(TVistrelMainForm& Form) {
    const int w = Form.Width(), h = Form.Height();
    if (w <= 0 || h <= 0) throw EInOutError(L"The main window has no size");
    TBitmap copy;
    copy.SetSize(w, h);
    if (!BitBlt(copy.DC(), 0, 0, w, h, Form.Canvas().Handle(), 0, 0, SRCCOPY)) RaiseLastOSError(L"BitBlt");
    GdiFlush();
    PixelImage image;
    image.Width = w;
    image.Height = h;
    const auto* bits = reinterpret_cast<const std::uint8_t*>(copy.Bits());
    image.Pixels.assign(bits, bits + static_cast<std::size_t>(CheckedMul(CheckedMul(w, h), 4)));
    return image;
}

// The main form the "mainform" option points at: the address of the main form's
// variable, and nothing else (a number written in the item line is not followed).
TVistrelMainForm& MainFormOf(const TItemOptionArray& Options) {
    const std::int64_t address = GetItemOption(Options, L"mainform", Variant(std::int64_t{0})).ToInt64();
    if (address == 0 || address != static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(CollectorMainFormAddress)))
        throw EInOutError(L"No main window");
    TVistrelMainForm* form = *static_cast<TVistrelMainForm**>(CollectorMainFormAddress);
    if (!form) throw EInOutError(L"No main window");
    return *form;
}

std::wstring LowerExtension(const std::wstring& Path) {
    const std::size_t dot = Path.find_last_of(L".\\/:");
    if (dot == std::wstring::npos || Path[dot] != L'.') return {};
    return LowerAscii(Path.substr(dot));
}

std::wstring OptionText(const TItemOptionArray& Options, const wchar_t* Name, const std::wstring& Default) {
    return GetItemOption(Options, Name, Variant(Default)).ToText();
}

}  // namespace

// ---- interpretation -------------------------------------------------------------------

std::int32_t SnapshotColor(const std::wstring& Text, std::int32_t Default) {
    const std::wstring hex = HtmlColorToBgr(Text);
    if (hex.empty() || hex.size() > 8) return Default;
    std::uint32_t value = 0;
    for (wchar_t c : hex) {
        int digit;
        if (c >= L'0' && c <= L'9') digit = c - L'0';
        else if (c >= L'a' && c <= L'f') digit = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F') digit = c - L'A' + 10;
        else return Default;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::int32_t>(value);
}

PixelImage SolidImage(int Width, int Height, std::int32_t Color) {
    if (Width <= 0 || Height <= 0) throw EInOutError(L"Invalid picture size");
    PixelImage image;
    image.Width = Width;
    image.Height = Height;
    const std::size_t count = static_cast<std::size_t>(CheckedMul(Width, Height));
    image.Pixels.resize(CheckedMul<std::size_t>(count, 4));
    const std::uint8_t r = Color & 0xFF, g = (Color >> 8) & 0xFF, b = (Color >> 16) & 0xFF;
    for (std::size_t i = 0; i < count; ++i) {
        image.Pixels[4 * i] = b;
        image.Pixels[4 * i + 1] = g;
        image.Pixels[4 * i + 2] = r;
        image.Pixels[4 * i + 3] = 255;
    }
    return image;
}

void DrawTransparent(PixelImage& Background, const PixelImage& Window, int Left, int Top) {
    const long long x0 = std::max<long long>(0, Left), y0 = std::max<long long>(0, Top);
    const long long x1 = std::min<long long>(Background.Width, static_cast<long long>(Left) + Window.Width);
    const long long y1 = std::min<long long>(Background.Height, static_cast<long long>(Top) + Window.Height);
    for (long long y = y0; y < y1; ++y)
        for (long long x = x0; x < x1; ++x) {
            const std::size_t from = static_cast<std::size_t>(((y - Top) * Window.Width + (x - Left)) * 4);
            const std::uint8_t* p = &Window.Pixels.at(from + 3) - 3;
            if (p[0] == 0 && p[1] == 0 && p[2] == 0) continue;  // black is the window's see-through colour
            std::uint8_t* q = &Background.Pixels.at(static_cast<std::size_t>((y * Background.Width + x) * 4 + 3)) - 3;
            q[0] = p[0];
            q[1] = p[1];
            q[2] = p[2];
            q[3] = 255;
        }
}

PixelImage SnapshotBackground(const std::wstring& InFile, int Width, int Height, std::int32_t Color) {
    const std::wstring ext = LowerExtension(InFile);
    if (ext == L".png" && FileExists(InFile)) return LoadPngFile(InFile);
    if (ext == L".jpg" && FileExists(InFile)) return LoadJpegFile(InFile);
    return SolidImage(Width, Height, Color);
}

void WriteSnapshot(const std::wstring& OutFile, const PixelImage& Image) {
    const std::wstring ext = LowerExtension(OutFile);
    if (ext == L".png") SavePngFile(OutFile, Image);
    else if (ext == L".jpg") SaveJpegFile(OutFile, Image, 90);
    else throw EInOutError(L"Unknown file type, " + ext);
}

// ---- the gathering routine --------------------------------------------------------------

void GetSnapshot(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    try {
        const std::wstring inFile = OptionText(Options, L"infile", L"");
        const std::wstring outFile = OptionText(Options, L"outfile", L"");
        const std::int32_t color = SnapshotColor(OptionText(Options, L"bgcolor", FormatByteTriple(FormColor)), FormColor);
        // The form is reached and copied on the window thread, so that no painting pass
        // (nor a reload) runs meanwhile.
        PixelImage window;
        const auto copy = [&] { window = CopyWindow(MainFormOf(Options)); };
        if (!Synchronize(copy)) copy();
        const std::int32_t width = GetItemOption(Options, L"width", Variant(window.Width)).ToInt32();
        const std::int32_t height = GetItemOption(Options, L"height", Variant(window.Height)).ToInt32();
        const std::int32_t left = GetItemOption(Options, L"left", Variant(std::int32_t{0})).ToInt32();
        const std::int32_t top = GetItemOption(Options, L"top", Variant(std::int32_t{0})).ToInt32();
        PixelImage picture = SnapshotBackground(inFile, width, height, color);
        DrawTransparent(picture, window, left, top);
        WriteSnapshot(ConfiguredOutputPath(outFile), picture);
        Display = outFile + L" written";
    } catch (const std::exception& e) {
        Display = ErrorText + ExceptionMessage(e);
        WriteLog(L"GetSnapshot: " + ErrorText + ExceptionMessage(e), llError);
    }
    WriteLog(L"GetSnapshot: ", llData);
}
