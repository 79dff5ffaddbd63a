#include "platform/draw.h"

#include <QFont>
#include <QFontMetrics>
#include <QStaticText>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/qt_internal.h"

namespace platform {

namespace {

QColor to_qcolor(color c) {
    return QColor(red_of(c), green_of(c), blue_of(c));
}
std::uint32_t to_argb(color c) { return 0xFF000000u | (red_of(c) << 16) | (green_of(c) << 8) | blue_of(c); }

const QFont& fixed_font() {
    static QFont font = [] {
        QFont f(QStringLiteral("DejaVu Sans Mono"));
        f.setStyleHint(QFont::TypeWriter);
        f.setFixedPitch(true);
        f.setPixelSize(12);
        return f;
    }();
    return font;
}

void apply_pen(QPainter* p, const pen& pn) {
    if (pn.null_pen) {
        p->setPen(Qt::NoPen);
        return;
    }
    QPen q(to_qcolor(pn.c));
    q.setWidth(pn.width <= 1 ? 0 : pn.width);  // 0: one-pixel cosmetic pen
    q.setCapStyle(Qt::RoundCap);
    q.setJoinStyle(Qt::RoundJoin);
    p->setPen(q);
}

void apply_brush(QPainter* p, const brush& b) {
    if (b.null_brush)
        p->setBrush(Qt::NoBrush);
    else
        p->setBrush(to_qcolor(b.c));
}

// Normalises a (left, top, right, bottom) box; false when it covers no pixel.
bool box(int& l, int& t, int& r, int& b) {
    if (r < l) std::swap(l, r);
    if (b < t) std::swap(t, b);
    return r > l && b > t;
}

}  // namespace

QPainter* dc::painter() {
    raster_ready = false;
    if (external) return external;
    if (!target || target->image.isNull()) return nullptr;
    if (!own.isActive()) {
        if (!own.begin(&target->image)) return nullptr;
        own.setRenderHint(QPainter::Antialiasing, false);
    }
    return &own;
}

bool dc::raster(raster_target& t) {
    // The scene draws thousands of small shapes a tick: the access is taken once for a run of them.
    if (raster_ready) {
        t = raster_cache;
        return true;
    }
    if (external || !target || target->image.isNull()) return false;
    finish();
    t.pixels = reinterpret_cast<std::uint32_t*>(target->image.bits());
    t.width = target->image.width();
    t.height = target->image.height();
    t.stride = static_cast<int>(target->image.bytesPerLine() / 4);
    raster_cache = t;
    raster_ready = true;
    return true;
}

void dc::finish() {
    raster_ready = false;
    if (own.isActive()) own.end();
}

pen select_pen(dc* d, pen p) {
    if (!d) return p;
    pen old = d->p;
    d->p = p;
    return old;
}

brush select_brush(dc* d, brush b) {
    if (!d) return b;
    brush old = d->b;
    d->b = b;
    return old;
}

pen current_pen(const dc* d) {
    return d ? d->p : pen{};
}
brush current_brush(const dc* d) {
    return d ? d->b : brush{};
}

void rectangle(dc* d, int l, int t, int r, int b) {
    if (!d || !box(l, t, r, b)) return;
    raster_target rt;
    if (d->raster(rt)) {
        raster_rectangle(rt, l, t, r, b, !d->p.null_pen, to_argb(d->p.c), !d->b.null_brush, to_argb(d->b.c));
        return;
    }
    QPainter* p = d->painter();
    if (!p) return;
    apply_pen(p, d->p);
    apply_brush(p, d->b);
    p->drawRect(QRect(l, t, r - l - 1, b - t - 1));
}

void ellipse(dc* d, int l, int t, int r, int b) {
    if (!d || !box(l, t, r, b)) return;
    raster_target rt;
    if (d->raster(rt)) {
        raster_ellipse(rt, l, t, r, b, !d->p.null_pen, to_argb(d->p.c), !d->b.null_brush, to_argb(d->b.c));
        return;
    }
    QPainter* p = d->painter();
    if (!p) return;
    apply_pen(p, d->p);
    apply_brush(p, d->b);
    p->drawEllipse(QRect(l, t, r - l - 1, b - t - 1));
}

void move_to(dc* d, int x, int y) {
    if (d) d->pos = QPoint(x, y);
}

void line_to(dc* d, int x, int y) {
    if (!d) return;
    QPoint to(x, y);
    raster_target rt;
    if (d->raster(rt)) {
        if (!d->p.null_pen) raster_line(rt, d->pos.x(), d->pos.y(), x, y, d->p.width, to_argb(d->p.c));
        d->pos = to;
        return;
    }
    QPainter* p = d->painter();
    if (p && !d->p.null_pen) {
        apply_pen(p, d->p);
        p->drawLine(d->pos, to);
    }
    d->pos = to;
}

void fill_rect(dc* d, const rect& r, color c) {
    if (!d) return;
    int l = r.left, t = r.top, rt = r.right, b = r.bottom;
    if (!box(l, t, rt, b)) return;
    raster_target target;
    if (d->raster(target)) {
        raster_fill(target, l, t, rt - 1, b - 1, to_argb(c));
        return;
    }
    QPainter* p = d->painter();
    if (p) p->fillRect(QRect(l, t, rt - l, b - t), to_qcolor(c));
}

void set_text_color(dc* d, color c) {
    if (d) d->text_color = c;
}

void set_bk_color(dc* d, color c) {
    if (d) d->bk_color = c;
}

int text_char_width() {
    static int w = QFontMetrics(fixed_font()).horizontalAdvance(QLatin1Char('M'));
    return w;
}

int text_line_height() {
    static int h = QFontMetrics(fixed_font()).height();
    return h;
}

void text_out(dc* d, int x, int y, const char* text, int length) {
    if (!d || !text || length <= 0) return;
    QPainter* p = d->painter();
    if (!p) return;
    // Consoles redraw the same lines many times a second: each text is laid out once and kept.
    static std::unordered_map<std::string, QStaticText> laid_out;
    std::string key(text, static_cast<std::size_t>(length));
    auto it = laid_out.find(key);
    if (it == laid_out.end()) {
        if (laid_out.size() >= 1024) laid_out.clear();
        // Bytes are shown one character each, whatever they are.
        QString s = QString::fromLatin1(text, length);
        for (QChar& ch : s)
            if (ch.unicode() < 32) ch = QLatin1Char(' ');
        QStaticText st(s);
        st.setTextFormat(Qt::PlainText);
        st.setPerformanceHint(QStaticText::AggressiveCaching);
        st.prepare(QTransform(), fixed_font());
        it = laid_out.emplace(std::move(key), std::move(st)).first;
    }
    p->setFont(fixed_font());
    // The background covers the laid-out text: a glyph's advance is not a whole pixel, so a
    // count of whole character cells falls short of a long line.
    const int band = std::max(text_char_width() * length, static_cast<int>(std::ceil(it->second.size().width())));
    p->fillRect(QRect(x, y, band, text_line_height()), to_qcolor(d->bk_color));
    p->setPen(to_qcolor(d->text_color));
    p->drawStaticText(QPoint(x, y), it->second);
}

namespace {
// What a picture buffer last showed and how it looked stretched. A console repaints ten times a
// second besides each new frame, and all consoles' timers tend to fire together: redrawing an
// unchanged picture from the cache keeps those bursts short enough not to cost ticks.
struct stretched_picture {
    std::vector<std::uint8_t> source;  // the rows as last drawn
    int src_w = 0, src_h = 0;
    QImage upright;  // the picture top-down in the painter's own 32-bit format
    QImage scaled;   // upright, stretched to the size last drawn
    std::uint64_t last_use = 0;
    std::size_t bytes() const {
        return source.capacity() + static_cast<std::size_t>(upright.sizeInBytes()) +
               static_cast<std::size_t>(scaled.sizeInBytes()) + 256;
    }
};
std::unordered_map<const std::uint8_t*, stretched_picture>& stretched_pictures() {
    static std::unordered_map<const std::uint8_t*, stretched_picture> cache;
    return cache;
}

// Drops the pictures drawn longest ago until the cache is within its bound; the one in use stays.
void trim_stretched_pictures(const std::uint8_t* in_use) {
    auto& cache = stretched_pictures();
    std::size_t total = 0;
    for (const auto& [pixels, c] : cache) total += c.bytes();
    while (total > stretched_picture_cache_limit && cache.size() > 1) {
        auto oldest = cache.end();
        for (auto it = cache.begin(); it != cache.end(); ++it)
            if (it->first != in_use && (oldest == cache.end() || it->second.last_use < oldest->second.last_use))
                oldest = it;
        total -= oldest->second.bytes();
        cache.erase(oldest);
    }
}
}  // namespace

std::size_t stretched_picture_cache_bytes() {
    std::size_t total = 0;
    for (const auto& [pixels, c] : stretched_pictures()) total += c.bytes();
    return total;
}

void stretch_picture(dc* d, int x, int y, int w, int h, const std::uint8_t* pixels, int src_w, int src_h,
                     int stride) {
    if (!d || !pixels || src_w <= 0 || src_h <= 0 || w <= 0 || h <= 0 || stride < src_w * 3) return;
    QPainter* p = d->painter();
    if (!p) return;
    // One entry a picture buffer, bounded by bytes: the pictures drawn longest ago make room.
    static std::uint64_t uses = 0;
    stretched_picture& c = stretched_pictures()[pixels];
    c.last_use = ++uses;
    const std::size_t row_bytes = static_cast<std::size_t>(src_w) * 3;
    bool same = c.src_w == src_w && c.src_h == src_h;
    for (int row = 0; same && row < src_h; ++row)
        same = std::memcmp(c.source.data() + row * row_bytes, pixels + static_cast<std::size_t>(row) * stride,
                           row_bytes) == 0;
    if (!same) {
        c.src_w = src_w;
        c.src_h = src_h;
        c.source.resize(row_bytes * static_cast<std::size_t>(src_h));
        for (int row = 0; row < src_h; ++row)
            std::memcpy(c.source.data() + row * row_bytes, pixels + static_cast<std::size_t>(row) * stride, row_bytes);
        // Turned upright (row 0 of the picture is its bottom row) and into the painter's own
        // format in one pass: given the 24-bit picture, the toolkit would convert it on worker
        // threads at every draw, which costs more than the drawing.
        if (c.upright.width() != src_w || c.upright.height() != src_h)
            c.upright = QImage(src_w, src_h, QImage::Format_RGB32);
        for (int row = 0; row < src_h; ++row) {
            const std::uint8_t* in = c.source.data() + static_cast<std::size_t>(src_h - 1 - row) * row_bytes;
            QRgb* out = reinterpret_cast<QRgb*>(c.upright.scanLine(row));
            for (int col = 0; col < src_w; ++col, in += 3) out[col] = qRgb(in[2], in[1], in[0]);
        }
        c.scaled = QImage();
    }
    if (c.scaled.width() != w || c.scaled.height() != h) {
        c.scaled = QImage(w, h, QImage::Format_RGB32);
        QPainter sp(&c.scaled);
        sp.setRenderHint(QPainter::SmoothPixmapTransform, true);
        sp.drawImage(QRect(0, 0, w, h), c.upright);
    }
    p->drawImage(QPoint(x, y), c.scaled);
    trim_stretched_pictures(pixels);
}

dc* create_memory_dc() {
    return new dc;
}

void delete_dc(dc* d) {
    if (!d) return;
    d->finish();
    if (d->target && d->target->selected_in == d) d->target->selected_in = nullptr;
    delete d;
}

bitmap* create_bitmap(int width, int height) {
    auto* b = new bitmap;
    if (width > 0 && height > 0) {
        b->image = QImage(width, height, QImage::Format_RGB32);
        b->image.fill(Qt::white);
    }
    return b;
}

void delete_bitmap(bitmap* b) {
    if (!b) return;
    if (b->selected_in) {
        b->selected_in->finish();
        b->selected_in->target = nullptr;
    }
    delete b;
}

bitmap* select_bitmap(dc* d, bitmap* b) {
    if (!d) return nullptr;
    d->finish();
    bitmap* old = d->target;
    if (old) old->selected_in = nullptr;
    if (b) {
        if (b->selected_in && b->selected_in != d) {
            b->selected_in->finish();
            b->selected_in->target = nullptr;
        }
        b->selected_in = d;
        b->runs_known = false;
    }
    d->target = b;
    return old;
}

int bitmap_width(const bitmap* b) {
    return b ? b->image.width() : 0;
}
int bitmap_height(const bitmap* b) {
    return b ? b->image.height() : 0;
}

color get_pixel(bitmap* b, int x, int y) {
    if (!b || x < 0 || y < 0 || x >= b->image.width() || y >= b->image.height()) return 0;
    if (b->selected_in) b->selected_in->finish();
    QRgb px = b->image.pixel(x, y);
    return rgb(qRed(px), qGreen(px), qBlue(px));
}

bool save_png(bitmap* b, const char* path) {
    if (!b || !path || b->image.isNull()) return false;
    if (b->selected_in) b->selected_in->finish();
    return b->image.save(QString::fromLocal8Bit(path), "PNG");
}

bitmap* load_png(const char* path) {
    if (!path) return nullptr;
    QImage img;
    if (!img.load(QString::fromLocal8Bit(path), "PNG")) return nullptr;
    auto* b = new bitmap;
    b->image = img.convertToFormat(QImage::Format_RGB32);
    return b;
}

dc* begin_paint(window w) {
    auto* d = new dc;
    if (is_window(w) && w->in_paint) d->external = w->paint_painter;
    return d;
}

void end_paint(window, dc* d) {
    delete d;
}

bitmap* create_layer(int width, int height) {
    auto* b = new bitmap;
    if (width > 0 && height > 0) {
        b->image = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
        b->image.fill(Qt::transparent);
    }
    return b;
}

void overlay(dc* dst, bitmap* layer) {
    raster_target t;
    if (!dst || !layer || layer->image.isNull() || !dst->raster(t)) return;
    if (layer->selected_in) layer->selected_in->finish();
    const QImage& src = layer->image;
    // The pixels with any alpha, found once: a layer of walls is mostly transparent, and copying
    // only what was drawn leaves the rest of the caches to the simulation.
    if (!layer->runs_known) {
        layer->runs.clear();
        for (int y = 0; y < src.height(); ++y) {
            const auto* row = reinterpret_cast<const std::uint32_t*>(src.constScanLine(y));
            for (int x = 0; x < src.width();) {
                if (!(row[x] >> 24)) {
                    ++x;
                    continue;
                }
                const int x0 = x;
                while (x < src.width() && row[x] >> 24) ++x;
                layer->runs.push_back(bitmap::run{y, x0, x});
            }
        }
        // Still selected, it may be drawn on again before the next overlay.
        layer->runs_known = !layer->selected_in;
    }
    // A pixel of the layer with any alpha replaces the scene's.
    const int w = std::min(t.width, src.width()), h = std::min(t.height, src.height());
    for (const bitmap::run& r : layer->runs) {
        if (r.y >= h || r.x0 >= w) continue;
        const auto* from = reinterpret_cast<const std::uint32_t*>(src.constScanLine(r.y));
        std::uint32_t* to = t.pixels + static_cast<std::ptrdiff_t>(r.y) * t.stride;
        std::copy(from + r.x0, from + std::min(r.x1, w), to + r.x0);
    }
}

void bit_blt(dc* dst, int x, int y, int w, int h, dc* src, int sx, int sy) {
    if (!dst || !src || !src->target || src->target->image.isNull() || w <= 0 || h <= 0) return;
    src->finish();
    QPainter* p = dst->painter();
    if (!p) return;
    p->drawImage(QPoint(x, y), src->target->image, QRect(sx, sy, w, h));
}

}  // namespace platform
