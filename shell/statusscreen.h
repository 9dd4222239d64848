// The status screen: the background picture, the black box with the node's
// own identity and its neighbours, the chat history down the left side and
// the member table below the box. Each tick rebuilds the whole 640 x 480
// picture off screen; the window then shows it in one paint.
#pragma once

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "node.h"

namespace palaver::shell {

constexpr int ScreenWidth = 640;
constexpr int ScreenHeight = 480;
// The line buffer: 319 bytes of text and a terminator.
constexpr std::size_t LineBufferSize = 320;
// The black box covers x 300..619 and y 8..207.
constexpr int BoxLeft = 300, BoxTop = 8, BoxRight = 620, BoxBottom = 208;
// Shown where there is no background picture, or beyond a small one.
constexpr QRgb CalmBackground = 0xFFEEF2EC;

// What the screen shows, copied from the node under its lock. History and
// member lists hold only what can land inside the picture.
struct StatusSnapshot {
    int32_t phase = 0;
    PeerEntry self;
    NeighbourTable table;
    std::vector<std::string> history;
    std::vector<std::pair<std::string, MemberInfo>> members;
};

StatusSnapshot takeSnapshot(const Node& node);

// Draws `image` with its top-left corner at `at`, in bands small enough that
// Qt does all the work on this thread: it hands conversions and blends of
// larger pictures to worker threads of its own.
void drawInBands(QPainter& painter, QPoint at, const QImage& image);

struct TextItem {
    int x = 0;
    int y = 0;            // top of the character cell
    int cellHeight = 10;  // 10 or 20: the font
    bool white = false;
    std::string bytes;  // the formatted line, at most 319 bytes

    bool operator==(const TextItem&) const = default;
};

// The lines of the screen in drawing order; none unless the node is started.
std::vector<TextItem> statusItems(const StatusSnapshot& snapshot);

// A bold fixed-pitch Japanese face of `cellHeight` pixels to the em; its
// cell, ascent and descent together, is at most a tenth taller.
QFont makeFont(const QString& face, int cellHeight, int weight);
// IPAGothic when it is there, else another fixed-pitch face with Japanese glyphs.
QString statusFontFace();

class StatusScreen {
public:
    // Makes the back buffer, loads the background and makes the fonts.
    void create(const QString& backgroundPath);
    // Releases the fonts, the background and the back buffer.
    void release();
    bool created() const { return created_; }

    // Rebuilds the back buffer from the node; the caller shows it. Returns
    // false when the picture would come out exactly as the one already in the
    // back buffer: then nothing is painted and there is nothing new to show.
    bool draw(const Node& node);
    void render(const std::vector<TextItem>& items);

    const QImage& backBuffer() const { return backBuffer_; }
    const QImage& background() const { return background_; }
    const QFont& font(int cellHeight) const { return cellHeight >= 20 ? font20_ : font10_; }
    // Ticks that drew the screen, and how many of them painted a new picture.
    int framesDrawn() const { return frames_; }
    int picturesPainted() const { return paints_; }

private:
    bool created_ = false;
    QImage backBuffer_;
    QImage background_;
    // The fixed part of every picture: background (or the calm colour) and box.
    QImage base_;
    QFont font10_;
    QFont font20_;
    int ascent10_ = 0;
    int ascent20_ = 0;
    int frames_ = 0;
    int paints_ = 0;
    // What the back buffer shows now; valid while `painted_` is set.
    std::vector<TextItem> shownItems_;
    bool painted_ = false;
};

}  // namespace palaver::shell
