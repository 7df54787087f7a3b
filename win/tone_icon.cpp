#include "tone_icon.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace quarvo {
namespace {

struct Point {
    double x;
    double y;
};

// The drawing is made on a grid of 16, as the Qt window's is.
constexpr double GRID = 16;
constexpr Point CENTRE{8, 8};
constexpr double DISC_RADIUS = 7.5;
constexpr double PEN_HALF_WIDTH = 1.0;
constexpr int SAMPLES = 4; // per pixel and axis

double distanceToSegment(Point p, Point a, Point b)
{
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double length = dx * dx + dy * dy;
    const double t =
        length > 0 ? std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / length, 0.0, 1.0) : 0.0;
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

struct Mark {
    COLORREF disc;
    std::vector<std::pair<Point, Point>> strokes;
};

bool markFor(JourneyTone tone, Mark& mark)
{
    switch (tone) {
    case JourneyTone::Success:
        mark = {RGB(0x1a, 0x7f, 0x37), {{{4.5, 8.2}, {7.0, 10.8}}, {{7.0, 10.8}, {11.8, 5.4}}}};
        return true;
    case JourneyTone::Failure:
        mark = {RGB(0xc4, 0x2b, 0x1c), {{{5.2, 5.2}, {10.8, 10.8}}, {{10.8, 5.2}, {5.2, 10.8}}}};
        return true;
    case JourneyTone::Waiting:
        mark = {RGB(0xbf, 0x87, 0x00), {{{8, 4}, {8, 8}}, {{8, 8}, {11, 10}}}};
        return true;
    case JourneyTone::Idle:
    case JourneyTone::Running:
        break;
    }
    return false;
}

} // namespace

HICON drawToneIcon(JourneyTone tone, int size)
{
    Mark mark;
    if (size <= 0 || !markFor(tone, mark))
        return nullptr;
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = size;
    header.bV5Height = -size; // top-down
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                      DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!colour)
        return nullptr;
    auto* pixels = static_cast<std::uint32_t*>(bits);
    const double scale = GRID / size;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            int disc = 0;
            int pen = 0;
            for (int sy = 0; sy < SAMPLES; ++sy) {
                for (int sx = 0; sx < SAMPLES; ++sx) {
                    const Point p{(x + (sx + 0.5) / SAMPLES) * scale,
                                  (y + (sy + 0.5) / SAMPLES) * scale};
                    if (std::hypot(p.x - CENTRE.x, p.y - CENTRE.y) > DISC_RADIUS)
                        continue;
                    ++disc;
                    for (const auto& [from, to] : mark.strokes) {
                        if (distanceToSegment(p, from, to) <= PEN_HALF_WIDTH) {
                            ++pen;
                            break;
                        }
                    }
                }
            }
            const double total = SAMPLES * SAMPLES;
            const double alpha = disc / total;
            // Within the disc: its colour, whitened where the pen covers it.
            const double white = disc > 0 ? static_cast<double>(pen) / disc : 0;
            const auto channel = [&](int value) {
                return static_cast<std::uint32_t>(std::lround(value + (255 - value) * white));
            };
            pixels[y * size + x] = (static_cast<std::uint32_t>(std::lround(alpha * 255)) << 24) |
                                   (channel(GetRValue(mark.disc)) << 16) |
                                   (channel(GetGValue(mark.disc)) << 8) |
                                   channel(GetBValue(mark.disc));
        }
    }
    // The alpha channel decides what shows; the mask only has to be there.
    const std::vector<std::uint8_t> clear(static_cast<std::size_t>((size + 15) / 16 * 2 * size), 0);
    HBITMAP mask = CreateBitmap(size, size, 1, 1, clear.data());
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmMask = mask;
    info.hbmColor = colour;
    HICON icon = mask ? CreateIconIndirect(&info) : nullptr;
    DeleteObject(colour);
    if (mask)
        DeleteObject(mask);
    return icon;
}

} // namespace quarvo
