#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "Errors.h"
#include "ImageFiles.h"
#include "TestFiles.h"

namespace {

PixelImage Gradient(int w, int h, bool alpha) {
    PixelImage img;
    img.Width = w;
    img.Height = h;
    img.HasAlpha = alpha;
    img.Pixels.resize(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &img.Pixels[(static_cast<std::size_t>(y) * w + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / (w - 1));  // blue
            p[1] = static_cast<std::uint8_t>(y * 255 / (h - 1));  // green
            p[2] = 0x80;                                          // red
            p[3] = alpha ? static_cast<std::uint8_t>(x * 255 / (w - 1)) : 0xFF;
        }
    return img;
}

}  // namespace

TEST(ImageFiles, PngRoundTripKeepsPixelsAndAlpha) {
    TempFolder dir;
    const PixelImage img = Gradient(33, 17, true);
    SavePngFile(dir.File(L"a.png"), img);
    int w = 0, h = 0;
    ReadPngSize(dir.File(L"a.png"), w, h);
    EXPECT_EQ(w, 33);
    EXPECT_EQ(h, 17);
    const PixelImage back = LoadPngFile(dir.File(L"a.png"));
    EXPECT_TRUE(back.HasAlpha);
    EXPECT_EQ(back.Pixels, img.Pixels);  // lossless, blue-green-red-alpha order kept
}

TEST(ImageFiles, PngWithoutAlphaIsOpaque) {
    TempFolder dir;
    const PixelImage img = Gradient(8, 8, false);
    SavePngFile(dir.File(L"b.png"), img);
    const PixelImage back = LoadPngFile(dir.File(L"b.png"));
    EXPECT_FALSE(back.HasAlpha);
    EXPECT_EQ(back.Pixels, img.Pixels);
}

TEST(ImageFiles, JpegRoundTripIsClose) {
    TempFolder dir;
    const PixelImage img = Gradient(64, 48, false);
    SaveJpegFile(dir.File(L"c.jpg"), img, 90);
    const std::string bytes = ReadFileBytes(dir.File(L"c.jpg"));
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xD8);
    const PixelImage back = LoadJpegFile(dir.File(L"c.jpg"));
    ASSERT_EQ(back.Width, 64);
    ASSERT_EQ(back.Height, 48);
    int worst = 0;
    for (std::size_t i = 0; i < img.Pixels.size(); ++i)
        if (i % 4 != 3) worst = std::max(worst, std::abs(int(img.Pixels[i]) - int(back.Pixels[i])));
    EXPECT_LT(worst, 24);
}

TEST(ImageFiles, BadFilesRaiseReadableErrors) {
    TempFolder dir;
    WriteFileBytes(dir.File(L"bad.png"), "not a png at all");
    WriteFileBytes(dir.File(L"bad.jpg"), "not a jpeg");
    EXPECT_THROW(LoadPngFile(dir.File(L"bad.png")), EInOutError);
    EXPECT_THROW(LoadJpegFile(dir.File(L"bad.jpg")), EInOutError);
    EXPECT_THROW(LoadPngFile(dir.File(L"missing.png")), EInOutError);
    EXPECT_THROW(SavePngFile(dir.File(L"x.png"), PixelImage{}), EInOutError);
    EXPECT_THROW(SaveJpegFile(L"Z:\\no\\such\\dir\\x.jpg", Gradient(4, 4, false)), EInOutError);
}

// ---- damaged files: no leak, no oversized picture --------------------------------------------

namespace {

// Counts the blocks the calling thread takes from and gives back to the C++ heap while
// counting is on, so that a block left behind by a read that failed shows.
thread_local bool counting = false;
thread_local long long heapBalance = 0;

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) {
        if (counting) ++heapBalance;
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept {
    if (!p) return;
    if (counting) --heapBalance;
    std::free(p);
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { ::operator delete(p); }

namespace {

// The heap blocks a failing load leaves behind.
template <typename Load>
long long BlocksLeftBy(Load load) {
    heapBalance = 0;
    counting = true;
    try {
        load();
    } catch (const EInOutError&) {
    }
    counting = false;
    return heapBalance;
}

std::uint32_t Crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string BigEndian(std::uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string Chunk(const std::string& type, const std::string& data) {
    return BigEndian(static_cast<std::uint32_t>(data.size())) + type + data + BigEndian(Crc32(type + data));
}

}  // namespace

TEST(ImageFiles, APngDamagedInItsPixelDataLeavesNothingBehind) {
    TempFolder dir;
    SavePngFile(dir.File(L"good.png"), Gradient(64, 64, true));
    std::string bytes = ReadFileBytes(dir.File(L"good.png"));
    const std::size_t idat = bytes.find("IDAT");
    ASSERT_NE(idat, std::string::npos);
    // The header reads well; the compressed pixels do not.
    for (std::size_t i = idat + 8; i < idat + 40 && i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5);
    ASSERT_TRUE(WriteFileBytes(dir.File(L"damaged.png"), bytes));
    int w = 0, h = 0;
    ReadPngSize(dir.File(L"damaged.png"), w, h);
    EXPECT_EQ(w, 64);
    EXPECT_THROW(LoadPngFile(dir.File(L"damaged.png")), EInOutError);

    // A SNAPSHOT item reads its infile on every collection: each failed read must give
    // back every block it took.
    EXPECT_EQ(BlocksLeftBy([&] { LoadPngFile(dir.File(L"good.png")); }), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(BlocksLeftBy([&] { LoadPngFile(dir.File(L"damaged.png")); }), 0) << i;
    EXPECT_EQ(BlocksLeftBy([&] { LoadJpegFile(dir.File(L"damaged.png")); }), 0);
}

TEST(ImageFiles, AHeaderNamingAPictureTooLargeToHoldRaises) {
    // A PNG whose header names a million by a million pixels (4 TB of pixels) over a few
    // bytes of data: refused before the picture is allocated or read.
    const std::string ihdr = BigEndian(1000000) + BigEndian(1000000) + std::string("\x08\x06\x00\x00\x00", 5);
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", ihdr) +
                            Chunk("IDAT", std::string(16, '\0')) + Chunk("IEND", "");
    TempFolder dir;
    ASSERT_TRUE(WriteFileBytes(dir.File(L"huge.png"), png));
    int w = 0, h = 0;
    ReadPngSize(dir.File(L"huge.png"), w, h);
    EXPECT_EQ(w, 1000000);
    try {
        LoadPngFile(dir.File(L"huge.png"));
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), L"Invalid image size in \"" + dir.File(L"huge.png") + L"\"");
    }
}
