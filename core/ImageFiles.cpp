#include "ImageFiles.h"

#include <cstdio>
#include <csetjmp>
#include <cstdint>
#include <memory>

#include <png.h>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "Errors.h"

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

UniqueFile OpenFile(const std::wstring& path, const wchar_t* mode) {
    UniqueFile f(_wfopen(path.c_str(), mode));
    if (!f) throw EInOutError(L"Cannot open file \"" + path + L"\"");
    return f;
}

[[noreturn]] void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning(png_structp, png_const_charp) {}

// Owns a libpng read or write structure pair.
class PngRead {
public:
    PngRead() {
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
        if (png_) info_ = png_create_info_struct(png_);
        if (!png_ || !info_) throw EInOutError(L"PNG reader could not be created");
    }
    ~PngRead() { png_destroy_read_struct(&png_, &info_, nullptr); }
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

class PngWrite {
public:
    PngWrite() {
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
        if (png_) info_ = png_create_info_struct(png_);
        if (!png_ || !info_) throw EInOutError(L"PNG writer could not be created");
    }
    ~PngWrite() { png_destroy_write_struct(&png_, &info_); }
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

// The byte count of a Width x Height picture of four bytes a pixel; raises when the
// header of a damaged file names one that cannot be held.
std::size_t PixelBytes(const std::wstring& path, std::uint32_t width, std::uint32_t height) {
    constexpr std::uint64_t kLargest = std::uint64_t{1} << 31;
    const std::uint64_t bytes = std::uint64_t{width} * height * 4;  // both below 2^32: no overflow
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF || bytes > kLargest)
        throw EInOutError(L"Invalid image size in \"" + path + L"\"");
    return static_cast<std::size_t>(bytes);
}

// The functions that libpng and libjpeg may leave through longjmp hold no object with a
// destructor: every buffer they fill is made by their caller before they are entered.

// Reads the header and sets up the transforms to 32-bit BGRA; false when libpng reported
// an error.
bool DecodePngHeader(FILE* f, png_structp png, png_infop info, std::uint32_t& width, std::uint32_t& height,
                     bool& hasAlpha, bool headerOnly) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, f);
    png_read_info(png, info);
    width = png_get_image_width(png, info);
    height = png_get_image_height(png, info);
    if (headerOnly) return true;
    const png_byte colorType = png_get_color_type(png, info);
    hasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return true;
}

// Reads the pixels into the rows the caller made; false when libpng reported an error.
bool DecodePngRows(png_structp png, png_bytep* rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

// Points one row pointer at each line of the picture's pixels.
std::vector<png_bytep> RowPointers(std::uint8_t* pixels, int width, int height) {
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) rows[y] = pixels + static_cast<std::size_t>(y) * width * 4;
    return rows;
}

bool EncodePng(FILE* f, png_structp png, png_infop info, const PixelImage& image, png_bytep* rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, f);
    png_set_IHDR(png, info, image.Width, image.Height, 8, image.HasAlpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    if (!image.HasAlpha) png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

struct JpegErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

// Reads the header and starts decompressing to RGB; false when libjpeg reported an error.
bool DecodeJpegHeader(FILE* f, jpeg_decompress_struct& cinfo) {
    if (setjmp(reinterpret_cast<JpegErrorManager*>(cinfo.err)->jump)) return false;
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    return true;
}

// Reads the lines into the caller's picture through the caller's line buffer; false when
// libjpeg reported an error.
bool DecodeJpegRows(jpeg_decompress_struct& cinfo, std::uint8_t* pixels, int width, JSAMPLE* row) {
    if (setjmp(reinterpret_cast<JpegErrorManager*>(cinfo.err)->jump)) return false;
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rp = row;
        const int y = static_cast<int>(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, &rp, 1);
        std::uint8_t* out = pixels + static_cast<std::size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x) {
            out[x * 4 + 0] = row[x * 3 + 2];
            out[x * 4 + 1] = row[x * 3 + 1];
            out[x * 4 + 2] = row[x * 3 + 0];
        }
    }
    jpeg_finish_decompress(&cinfo);
    return true;
}

bool EncodeJpeg(FILE* f, jpeg_compress_struct& cinfo, const PixelImage& image, int quality, JSAMPLE* row) {
    if (setjmp(reinterpret_cast<JpegErrorManager*>(cinfo.err)->jump)) return false;
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = static_cast<JDIMENSION>(image.Width);
    cinfo.image_height = static_cast<JDIMENSION>(image.Height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        const std::uint8_t* in = image.Pixels.data() + static_cast<std::size_t>(cinfo.next_scanline) * image.Width * 4;
        for (int x = 0; x < image.Width; ++x) {
            row[x * 3 + 0] = in[x * 4 + 2];
            row[x * 3 + 1] = in[x * 4 + 1];
            row[x * 3 + 2] = in[x * 4 + 0];
        }
        JSAMPROW rp = row;
        jpeg_write_scanlines(&cinfo, &rp, 1);
    }
    jpeg_finish_compress(&cinfo);
    return true;
}

void CheckImage(const PixelImage& image, const std::wstring& path) {
    if (image.Width <= 0 || image.Height <= 0 ||
        image.Pixels.size() != static_cast<std::size_t>(image.Width) * image.Height * 4)
        throw EInOutError(L"Invalid image for \"" + path + L"\"");
}

}  // namespace

PixelImage LoadPngFile(const std::wstring& path) {
    UniqueFile f = OpenFile(path, L"rb");
    PngRead reader;
    std::uint32_t width = 0, height = 0;
    bool hasAlpha = false;
    if (!DecodePngHeader(f.get(), reader.png_, reader.info_, width, height, hasAlpha, false))
        throw EInOutError(L"Invalid PNG file \"" + path + L"\"");
    PixelImage image;
    image.Pixels.assign(PixelBytes(path, width, height), 0);
    image.Width = static_cast<int>(width);
    image.Height = static_cast<int>(height);
    image.HasAlpha = hasAlpha;
    std::vector<png_bytep> rows = RowPointers(image.Pixels.data(), image.Width, image.Height);
    if (!DecodePngRows(reader.png_, rows.data())) throw EInOutError(L"Invalid PNG file \"" + path + L"\"");
    return image;
}

void ReadPngSize(const std::wstring& path, int& width, int& height) {
    UniqueFile f = OpenFile(path, L"rb");
    PngRead reader;
    std::uint32_t w = 0, h = 0;
    bool hasAlpha = false;
    if (!DecodePngHeader(f.get(), reader.png_, reader.info_, w, h, hasAlpha, true))
        throw EInOutError(L"Invalid PNG file \"" + path + L"\"");
    width = static_cast<int>(w);
    height = static_cast<int>(h);
}

void SavePngFile(const std::wstring& path, const PixelImage& image) {
    CheckImage(image, path);
    UniqueFile f = OpenFile(path, L"wb");
    PngWrite writer;
    std::vector<png_bytep> rows(static_cast<std::size_t>(image.Height));
    for (int y = 0; y < image.Height; ++y)
        rows[y] = const_cast<png_bytep>(image.Pixels.data() + static_cast<std::size_t>(y) * image.Width * 4);
    if (!EncodePng(f.get(), writer.png_, writer.info_, image, rows.data()))
        throw EInOutError(L"Cannot write PNG file \"" + path + L"\"");
}

PixelImage LoadJpegFile(const std::wstring& path) {
    UniqueFile f = OpenFile(path, L"rb");
    jpeg_decompress_struct cinfo{};
    JpegErrorManager err{};
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = JpegErrorExit;
    jpeg_create_decompress(&cinfo);
    // The decompressor is destroyed on every path, the exceptions' included.
    struct Destroy {
        jpeg_decompress_struct& cinfo;
        ~Destroy() { jpeg_destroy_decompress(&cinfo); }
    } destroy{cinfo};
    if (!DecodeJpegHeader(f.get(), cinfo)) throw EInOutError(L"Invalid JPEG file \"" + path + L"\"");
    PixelImage image;
    image.Pixels.assign(PixelBytes(path, cinfo.output_width, cinfo.output_height), 0xFF);
    image.Width = static_cast<int>(cinfo.output_width);
    image.Height = static_cast<int>(cinfo.output_height);
    image.HasAlpha = false;
    std::vector<JSAMPLE> row(static_cast<std::size_t>(image.Width) * 3);
    if (!DecodeJpegRows(cinfo, image.Pixels.data(), image.Width, row.data()))
        throw EInOutError(L"Invalid JPEG file \"" + path + L"\"");
    return image;
}

void SaveJpegFile(const std::wstring& path, const PixelImage& image, int quality) {
    CheckImage(image, path);
    UniqueFile f = OpenFile(path, L"wb");
    jpeg_compress_struct cinfo{};
    JpegErrorManager err{};
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = JpegErrorExit;
    jpeg_create_compress(&cinfo);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(image.Width) * 3);
    const bool ok = EncodeJpeg(f.get(), cinfo, image, quality, row.data());
    jpeg_destroy_compress(&cinfo);
    if (!ok) throw EInOutError(L"Cannot write JPEG file \"" + path + L"\"");
}
