// PNG and JPEG files read into and written from 32-bit pixel buffers (libpng, libjpeg).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Top-down pixels, four bytes each in the order blue, green, red, alpha (the layout of
// a 32-bit DIB section).
struct PixelImage {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Pixels;  // Width * Height * 4 bytes
    bool HasAlpha = false;
};

// Each raises EInOutError with a readable message when the file cannot be read or written.
PixelImage LoadPngFile(const std::wstring& path);
void SavePngFile(const std::wstring& path, const PixelImage& image);
// Width and height from the file's header, without decoding the pixels.
void ReadPngSize(const std::wstring& path, int& width, int& height);
PixelImage LoadJpegFile(const std::wstring& path);
void SaveJpegFile(const std::wstring& path, const PixelImage& image, int quality = 90);
