#include "Gdi.h"

#include <atomic>
#include <cstring>

#include "Checked.h"
#include "Errors.h"

namespace {
std::atomic<long> liveObjects{0};
}

long LiveGdiObjects() { return liveObjects.load(); }

void gdi_detail::Adopted() { ++liveObjects; }
void gdi_detail::Released() { --liveObjects; }

UniqueMemoryDC::UniqueMemoryDC(HDC dc) : dc_(dc) {
    if (dc_) gdi_detail::Adopted();
}

UniqueMemoryDC& UniqueMemoryDC::operator=(UniqueMemoryDC&& o) noexcept {
    if (this != &o) {
        reset();
        dc_ = std::exchange(o.dc_, nullptr);
    }
    return *this;
}

void UniqueMemoryDC::reset() {
    if (dc_) {
        DeleteDC(dc_);
        gdi_detail::Released();
        dc_ = nullptr;
    }
}

UniqueWindowDC& UniqueWindowDC::operator=(UniqueWindowDC&& o) noexcept {
    if (this != &o) {
        reset();
        window_ = std::exchange(o.window_, nullptr);
        dc_ = std::exchange(o.dc_, nullptr);
    }
    return *this;
}

void UniqueWindowDC::reset() {
    if (dc_) ReleaseDC(window_, dc_);
    dc_ = nullptr;
    window_ = nullptr;
}

DibSection CreateDibSection(int width, int height) {
    if (width < 0 || height < 0) throw ERangeError(L"CreateDibSection: negative size");
    DibSection dib;
    dib.Width = width;
    dib.Height = height;
    if (width == 0 || height == 0) return dib;  // an empty bitmap owns nothing
    CheckedMul<std::int32_t>(CheckedMul<std::int32_t>(width, height), 4);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bmp || !bits) RaiseLastOSError(L"CreateDIBSection");
    dib.Bitmap.reset(bmp);
    dib.Bits = static_cast<std::uint32_t*>(bits);
    return dib;
}

DibSection DibFromPixels(const PixelImage& image) {
    DibSection dib = CreateDibSection(image.Width, image.Height);
    const std::size_t bytes = static_cast<std::size_t>(image.Width) * static_cast<std::size_t>(image.Height) * 4;
    if (bytes != 0) {
        if (image.Pixels.size() < bytes) throw ERangeError(L"DibFromPixels: pixel buffer too small");
        GdiFlush();
        std::memcpy(dib.Bits, image.Pixels.data(), bytes);
    }
    return dib;
}
