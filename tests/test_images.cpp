#include <gtest/gtest.h>

#include <cstdlib>

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
