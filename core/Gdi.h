// Owners of GDI resources: fonts, brushes, pens, bitmaps, device contexts and objects
// selected into a DC. Each releases its resource exactly once and keeps a process-wide
// count of the live objects, because the platform's own count is not available everywhere
// and the window repaints every second: a leak must show in tests.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>

#include "ImageFiles.h"

// Number of GDI objects (fonts, brushes, pens, bitmaps, memory DCs) owned right now.
long LiveGdiObjects();

namespace gdi_detail {
void Adopted();
void Released();
}  // namespace gdi_detail

// Owns one GDI object created by the program; DeleteObject on release.
template <typename H>
class UniqueGdi {
public:
    UniqueGdi() = default;
    explicit UniqueGdi(H h) : h_(h) {
        if (h_) gdi_detail::Adopted();
    }
    ~UniqueGdi() { reset(); }
    UniqueGdi(UniqueGdi&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    UniqueGdi& operator=(UniqueGdi&& o) noexcept {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, nullptr);
        }
        return *this;
    }
    UniqueGdi(const UniqueGdi&) = delete;
    UniqueGdi& operator=(const UniqueGdi&) = delete;

    bool valid() const { return h_ != nullptr; }
    H get() const { return h_; }
    void reset(H h = nullptr) {
        if (h_) {
            DeleteObject(h_);
            gdi_detail::Released();
        }
        h_ = h;
        if (h_) gdi_detail::Adopted();
    }

private:
    H h_ = nullptr;
};

using UniqueFont = UniqueGdi<HFONT>;
using UniqueBrush = UniqueGdi<HBRUSH>;
using UniquePen = UniqueGdi<HPEN>;
using UniqueBitmap = UniqueGdi<HBITMAP>;
using UniqueRegion = UniqueGdi<HRGN>;

// A memory DC (CreateCompatibleDC); DeleteDC on release.
class UniqueMemoryDC {
public:
    UniqueMemoryDC() = default;
    explicit UniqueMemoryDC(HDC dc);
    ~UniqueMemoryDC() { reset(); }
    UniqueMemoryDC(UniqueMemoryDC&& o) noexcept : dc_(std::exchange(o.dc_, nullptr)) {}
    UniqueMemoryDC& operator=(UniqueMemoryDC&& o) noexcept;
    UniqueMemoryDC(const UniqueMemoryDC&) = delete;
    UniqueMemoryDC& operator=(const UniqueMemoryDC&) = delete;
    HDC get() const { return dc_; }
    bool valid() const { return dc_ != nullptr; }
    void reset();

private:
    HDC dc_ = nullptr;
};

// A window's DC from GetDC; ReleaseDC on release.
class UniqueWindowDC {
public:
    UniqueWindowDC() = default;
    explicit UniqueWindowDC(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~UniqueWindowDC() { reset(); }
    UniqueWindowDC(UniqueWindowDC&& o) noexcept
        : window_(std::exchange(o.window_, nullptr)), dc_(std::exchange(o.dc_, nullptr)) {}
    UniqueWindowDC& operator=(UniqueWindowDC&& o) noexcept;
    UniqueWindowDC(const UniqueWindowDC&) = delete;
    UniqueWindowDC& operator=(const UniqueWindowDC&) = delete;
    HDC get() const { return dc_; }
    bool valid() const { return dc_ != nullptr; }
    void reset();

private:
    HWND window_ = nullptr;
    HDC dc_ = nullptr;
};

// Selects an object into a DC and puts the previous one back on release, so the object
// can be deleted afterwards.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
    ~SelectedObject() {
        if (old_ && old_ != HGDI_ERROR) SelectObject(dc_, old_);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ old_;
};

// A top-down 32-bit DIB section; Bits points at Width * Height pixels (blue, green, red,
// alpha). Raises EOSError when the bitmap cannot be made.
struct DibSection {
    UniqueBitmap Bitmap;
    std::uint32_t* Bits = nullptr;
    int Width = 0;
    int Height = 0;
};
DibSection CreateDibSection(int width, int height);
// The pixels of an image, alpha kept as it is.
DibSection DibFromPixels(const PixelImage& image);
