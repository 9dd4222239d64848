#include "statusscreen.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cstdio>

#include "cp932.h"

namespace palaver::shell {

namespace {

constexpr int HistoryX = 0, HistoryTop = 50;
constexpr int MemberX = 400, MemberTop = 230;
constexpr int LineStep = 10;
// Entries whose line would start at or below the bottom edge are not copied.
constexpr std::size_t VisibleHistory = (ScreenHeight - HistoryTop + LineStep - 1) / LineStep;
constexpr std::size_t VisibleMembers = (ScreenHeight - MemberTop + LineStep - 1) / LineStep;

// Formats one line into the 320-byte line buffer; longer lines are cut there,
// never inside a double-byte character.
template <typename... Args>
std::string formatLine(const char* format, Args... args) {
    char lineBuffer[LineBufferSize];
    int n = std::snprintf(lineBuffer, sizeof lineBuffer, format, args...);
    if (n < 0) return std::string();
    std::string_view text(lineBuffer, static_cast<std::size_t>(n) < sizeof lineBuffer
                                          ? static_cast<std::size_t>(n)
                                          : sizeof lineBuffer - 1);
    return std::string(text.substr(0, cp932Prefix(text, text.size())));
}

void add(std::vector<TextItem>& items, int x, int y, int cell, bool white, std::string bytes) {
    if (y >= ScreenHeight) return;
    items.push_back(TextItem{x, y, cell, white, std::move(bytes)});
}

// The id, ip and port lines of one neighbour entry, 10 pixels apart in the box.
void addEntry(std::vector<TextItem>& items, int y, const PeerEntry& e, const char* idFormat,
              const char* ipFormat, const char* portFormat) {
    add(items, 320, y, 10, true, formatLine(idFormat, e.id));
    add(items, 320, y + 10, 10, true, formatLine(ipFormat, e.ip));
    add(items, 320, y + 20, 10, true, formatLine(portFormat, e.port));
}

}  // namespace

StatusSnapshot takeSnapshot(const Node& node) {
    StatusSnapshot s;
    s.phase = node.NodePhase.load();
    auto guard = node.lock();
    s.self = node.state().self;
    s.table = node.state().table;
    for (const std::string& entry : node.history()) {
        if (s.history.size() >= VisibleHistory) break;
        s.history.push_back(entry);
    }
    for (const auto& member : node.members()) {
        if (s.members.size() >= VisibleMembers) break;
        s.members.emplace_back(member.first, member.second);
    }
    return s;
}

std::vector<TextItem> statusItems(const StatusSnapshot& s) {
    std::vector<TextItem> items;
    if (s.phase != 2) return items;
    const NeighbourTable& t = s.table;
    int y = HistoryTop;
    for (const std::string& entry : s.history) {
        add(items, HistoryX, y, 10, false, formatLine("%s", entry.c_str()));
        y += LineStep;
    }
    y = MemberTop;
    for (const auto& [key, info] : s.members) {
        add(items, MemberX, y, 10, false,
            formatLine("Memver:%s, %d, %d", key.c_str(), info.lastSequence, info.hops));
        y += LineStep;
    }
    for (int i = 0; i < t.randomCount && i < 3; ++i) {
        add(items, 460, 100 + 10 * i, 10, true, formatLine("rnd:%s@%d", t.random[i].ip, t.random[i].port));
    }
    add(items, 500, 88, 10, true, formatLine("latestTTL : %d", t.latestTTL));
    add(items, 320, 28, 20, true, formatLine("MY ID : %d", s.self.id));
    add(items, 320, 48, 20, true, formatLine("MY IP : %s", s.self.ip));
    add(items, 320, 68, 20, true, formatLine("USE PORT : %d", s.self.port));
    addEntry(items, 88, t.next, "NEXT ID : %d", "NEXT IP : %s", "NEXT PORT : %d");
    addEntry(items, 128, t.back, "back ID : %d", "back IP : %s", "back PORT : %d");
    addEntry(items, 168, t.critical, "critical ID : %d", "critical IP : %s", "critical PORT : %d");
    return items;
}

void drawInBands(QPainter& painter, QPoint at, const QImage& image) {
    if (image.isNull()) return;
    // Qt splits work across threads from 96 rows or 2^16 pixels on.
    const int rows = std::clamp(0xFFFF / std::max(1, image.width()), 1, 64);
    for (int y = 0; y < image.height(); y += rows) {
        const int h = std::min(rows, image.height() - y);
        painter.drawImage(at + QPoint(0, y), image.copy(0, y, image.width(), h));
    }
}

QString statusFontFace() {
    const QStringList families = QFontDatabase::families();
    static const char* const preferred[] = {"IPAGothic", "IPAゴシック", "Noto Sans Mono CJK JP",
                                            "VL Gothic", "TakaoGothic", "IPAexGothic"};
    for (const char* face : preferred) {
        QString name = QString::fromUtf8(face);
        if (families.contains(name, Qt::CaseInsensitive)) return name;
    }
    // Japanese monospace faces mix half- and full-width glyphs, so fontconfig
    // often does not call them fixed-pitch: look at the advances instead.
    for (const QString& family : families) {
        if (!QFontDatabase::writingSystems(family).contains(QFontDatabase::Japanese)) continue;
        QFontMetrics m(QFont(family, 10));
        int half = m.horizontalAdvance(QLatin1Char('W'));
        int full = m.horizontalAdvance(QChar(0x3042));
        if (m.horizontalAdvance(QLatin1Char('i')) == half && full >= 2 * half - 1 && full <= 2 * half + 1) {
            return family;
        }
    }
    return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
}

QFont makeFont(const QString& face, int cellHeight, int weight) {
    QFont font(face);
    font.setStyleHint(QFont::TypeWriter, QFont::PreferQuality);
    font.setFixedPitch(true);
    font.setWeight(weight >= 700 ? QFont::Bold : QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setKerning(false);
    // The em is `cellHeight` pixels. Ascent and descent together may come out
    // a pixel or two taller than that, which the lines' spacing absorbs; a
    // smaller em would leave the Gothic faces without a legible '@', and
    // every address on the screen carries one.
    int pixelSize = cellHeight;
    font.setPixelSize(pixelSize);
    while (pixelSize > 1 && QFontMetrics(font).height() > cellHeight + cellHeight / 10) {
        font.setPixelSize(--pixelSize);
    }
    return font;
}

void StatusScreen::create(const QString& backgroundPath) {
    // The background's top-left 640 x 480 pixels, copied pixel by pixel (it
    // is done once) so that no conversion leaves this thread; the calm colour
    // shows beyond a smaller picture and where there is none.
    const QImage loaded(backgroundPath);  // null when missing or unreadable
    base_ = QImage(ScreenWidth, ScreenHeight, QImage::Format_RGB32);
    base_.fill(CalmBackground);
    background_ = QImage();
    if (!loaded.isNull()) {
        const int w = std::min(loaded.width(), ScreenWidth);
        const int h = std::min(loaded.height(), ScreenHeight);
        for (int y = 0; y < h; ++y) {
            auto* line = reinterpret_cast<QRgb*>(base_.scanLine(y));
            for (int x = 0; x < w; ++x) line[x] = 0xFF000000u | loaded.pixel(x, y);
        }
        background_ = base_.copy();
    }
    for (int y = BoxTop; y < BoxBottom; ++y) {
        auto* line = reinterpret_cast<QRgb*>(base_.scanLine(y));
        std::fill(line + BoxLeft, line + BoxRight, 0xFF000000u);
    }
    backBuffer_ = base_.copy();
    const QString face = statusFontFace();
    font10_ = makeFont(face, 10, 700);
    font20_ = makeFont(face, 20, 700);
    ascent10_ = QFontMetrics(font10_).ascent();
    ascent20_ = QFontMetrics(font20_).ascent();
    painted_ = false;
    created_ = true;
}

void StatusScreen::release() {
    if (!created_) return;
    font10_ = QFont();
    font20_ = QFont();
    background_ = QImage();
    base_ = QImage();
    backBuffer_ = QImage();
    shownItems_.clear();
    painted_ = false;
    created_ = false;
}

bool StatusScreen::draw(const Node& node) {
    if (!created_) return false;
    ++frames_;
    std::vector<TextItem> items = statusItems(takeSnapshot(node));
    // The background and the box never change, so equal lines make an equal
    // picture: an idle screen costs a snapshot, not a repaint.
    if (painted_ && items == shownItems_) return false;
    render(items);
    shownItems_ = std::move(items);
    painted_ = true;
    return true;
}

void StatusScreen::render(const std::vector<TextItem>& items) {
    if (!created_) return;
    // Background and box, then the lines on top.
    std::copy_n(base_.constBits(), base_.sizeInBytes(), backBuffer_.bits());
    QPainter p(&backBuffer_);
    for (const TextItem& item : items) {
        const QFont& f = font(item.cellHeight);
        p.setFont(f);
        p.setPen(item.white ? Qt::white : Qt::black);
        // Positions name the top-left corner of the cell; Qt draws at the baseline.
        const int ascent = item.cellHeight >= 20 ? ascent20_ : ascent10_;
        p.drawText(QPoint(item.x, item.y + ascent), decodeCp932(item.bytes));
    }
    ++paints_;
    painted_ = false;  // a picture painted from outside draw() is not what shownItems_ holds
}

}  // namespace palaver::shell
