// The dialog's pictures, stored as PNG, decoded by the system into the bitmaps GDI draws: their
// size, and colours in their places (a channel order mixed up shows there).
#include "win/png_picture.h"
#include "win/resource_ids.h"
#include "win/updater_window.h"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

struct PictureCase {
    const char* name;
    int id;
    int scale;
};

class PngPicture : public ::testing::TestWithParam<PictureCase> {};

// The colour at (x, y) from the top left, as GDI reads it.
COLORREF pixel(HBITMAP bitmap, int x, int y)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ before = SelectObject(dc, bitmap);
    const COLORREF colour = GetPixel(dc, x, y);
    SelectObject(dc, before);
    DeleteDC(dc);
    return colour;
}

TEST_P(PngPicture, DecodesToTheDrawingsBitmap)
{
    const PictureCase& c = GetParam();
    std::string error;
    HBITMAP bitmap = loadPngPicture(GetModuleHandleW(nullptr), c.id, error);
    ASSERT_NE(bitmap, nullptr) << error;
    BITMAP info{};
    ASSERT_NE(GetObjectW(bitmap, sizeof info, &info), 0);
    EXPECT_EQ(info.bmWidth, PICTURE_WIDTH * c.scale);
    EXPECT_EQ(info.bmHeight, PICTURE_HEIGHT * c.scale);
    EXPECT_EQ(info.bmBitsPixel, 24);
    // The sky's top at the left, the grass's foot at the left (resources/make_resources.py).
    EXPECT_EQ(pixel(bitmap, 0, 0), RGB(120, 175, 235));
    EXPECT_EQ(pixel(bitmap, 0, info.bmHeight - 1), RGB(70, 125, 60));
    DeleteObject(bitmap);
}

INSTANTIATE_TEST_SUITE_P(Pictures, PngPicture,
                         ::testing::Values(PictureCase{"own", IDB_PICTURE, 1},
                                           PictureCase{"twice", IDB_PICTURE_2X, 2}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(PngPictureMissing, SaysWhichResourceIsMissing)
{
    std::string error;
    EXPECT_EQ(loadPngPicture(GetModuleHandleW(nullptr), 9999, error), nullptr);
    EXPECT_NE(error.find("resource 9999 not found"), std::string::npos) << error;
}

} // namespace
} // namespace quarvo
