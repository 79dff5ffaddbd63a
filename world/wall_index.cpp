#include "world/wall_index.h"

#include <algorithm>
#include <cmath>

wall_index::wall_index(double width, double height)
    : width_(width), height_(height), cw_(width / cells), ch_(height / cells) {}

bool wall_index::inside(const entry& e) const {
    // Not-a-number corners fail every comparison and go with the walls outside.
    return e.x0 >= 0 && e.x1 <= width_ && e.y0 >= 0 && e.y1 <= height_;
}

void wall_index::place(const entry& e) {
    packed_stale_ = true;
    if (!inside(e)) {
        spill_.push_back(e);
        spill_.back().single = false;
        return;
    }
    const int x0 = cell_x(e.x0 - hair), x1 = cell_x(e.x1 + hair), y0 = cell_y(e.y0 - hair), y1 = cell_y(e.y1 + hair);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            buckets_[y * cells + x].push_back(e);
            occupied_[y * cells + x] = 1;
            buckets_[y * cells + x].back().single = x0 == x1 && y0 == y1;
            if (!e.covered) {
                ++uncovered_[y * cells + x];
                count_changed(y * cells + x);
            }
        }
}

void wall_index::unplace(const entry& e) {
    packed_stale_ = true;
    auto drop = [&](std::vector<entry>& list) {
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i].wall == e.wall) {
                if (&list != &spill_ && !list[i].covered) {
                    --uncovered_[&list - buckets_];
                    count_changed(static_cast<int>(&list - buckets_));
                }
                list[i] = list.back();
                list.pop_back();
                if (&list != &spill_) occupied_[&list - buckets_] = !list.empty();
                return;
            }
    };
    if (!inside(e)) {
        drop(spill_);
        return;
    }
    for (int y = cell_y(e.y0 - hair); y <= cell_y(e.y1 + hair); ++y)
        for (int x = cell_x(e.x0 - hair); x <= cell_x(e.x1 + hair); ++x) drop(buckets_[y * cells + x]);
}

namespace {
void box_of(const wall_type* w, wall_index::entry& e) {
    e.x0 = std::min(w->x, w->x + w->w);
    e.x1 = std::max(w->x, w->x + w->w);
    e.y0 = std::min(w->y, w->y + w->h);
    e.y1 = std::max(w->y, w->y + w->h);
    e.ax = w->x;
    e.ay = w->y;
    e.bx = w->x + w->w;
    e.by = w->y + w->h;
    e.covered = false;
    // min and max pass a not-a-number corner on or drop it; either way the wall must count as
    // reaching outside.
    if (std::isnan(w->x) || std::isnan(w->y) || std::isnan(w->w) || std::isnan(w->h)) e.x0 = NAN;
}
}  // namespace

void wall_index::add(const wall_type* wall) {
    entry e{wall, next_seq_++, 0, false, false, 0, 0, 0, 0, 0, 0, 0, 0};
    if (!free_slots_.empty()) {
        e.slot = free_slots_.back();
        free_slots_.pop_back();
    } else {
        e.slot = slots_++;
        mark_.push_back(0);
    }
    box_of(wall, e);
    where_[wall] = e;
    place(e);
}

void wall_index::update(const wall_type* wall) {
    auto it = where_.find(wall);
    if (it == where_.end()) return add(wall);
    unplace(it->second);
    box_of(wall, it->second);
    place(it->second);
}

void wall_index::remove(const wall_type* wall) {
    auto it = where_.find(wall);
    if (it == where_.end()) return;
    unplace(it->second);
    free_slots_.push_back(it->second.slot);
    where_.erase(it);
}

void wall_index::clear() {
    packed_stale_ = true;
    for (auto& b : buckets_) b.clear();
    std::fill(uncovered_.begin(), uncovered_.end(), 0);
    all_counts_changed();
    std::fill(occupied_.begin(), occupied_.end(), 0);
    spill_.clear();
    where_.clear();
    free_slots_.clear();
    mark_.clear();
    slots_ = 0;
}

void wall_index::pack() const {
    std::size_t listed = 0;
    for (const auto& b : buckets_) listed += b.size();
    // Row by row, and column by column: cell (x, y) is the y * cells + x-th of the first, the
    // x * cells + y-th of the second. Where cells list many walls each, rays end within a cell or
    // two and the second packing would only take room in the caches: the rows serve alone.
    columns_packed_ = listed <= columns_packed_up_to * static_cast<std::size_t>(cells) * cells;
    if (!columns_packed_) {
        packed_columns_ = {};
        first_columns_ = {};
    }
    for (int columns = 0; columns < (columns_packed_ ? 2 : 1); ++columns) {
        std::vector<packed>& lists = columns ? packed_columns_ : packed_;
        std::vector<std::uint32_t>& firsts = columns ? first_columns_ : first_;
        lists.clear();
        lists.reserve(listed);
        firsts.assign(static_cast<std::size_t>(cells) * cells + 1, 0);
        for (int n = 0; n < cells * cells; ++n) {
            firsts[n] = static_cast<std::uint32_t>(lists.size());
            const int c = columns ? (n % cells) * cells + n / cells : n;
            for (const entry& e : buckets_[c]) lists.push_back(packed{e.x0, e.x1, e.y0, e.y1, &e});
        }
        firsts[static_cast<std::size_t>(cells) * cells] = static_cast<std::uint32_t>(lists.size());
    }
    packed_stale_ = false;
}

void wall_index::new_query() const {
    if (++stamp_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0);
        stamp_ = 1;
    }
}

void wall_index::gather_box(double x0, double y0, double x1, double y1, std::vector<const entry*>& out) const {
    out.clear();
    new_query();
    for (const entry& e : spill_)
        if (first_time(e)) out.push_back(&e);
    // Walls inside the world cannot meet a region wholly outside it.
    if (!(x0 - hair <= width_ && x1 + hair >= 0 && y0 - hair <= height_ && y1 + hair >= 0)) return;
    const int cx0 = cell_x(x0 - hair), cx1 = cell_x(x1 + hair), cy0 = cell_y(y0 - hair), cy1 = cell_y(y1 + hair);
    for (int y = cy0; y <= cy1; ++y)
        for (int x = cx0; x <= cx1; ++x)
            if (occupied_[y * cells + x])
                for (const entry& e : buckets_[y * cells + x])
                    if (e.x0 <= x1 + hair && e.x1 >= x0 - hair && e.y0 <= y1 + hair && e.y1 >= y0 - hair &&
                        first_time(e))
                        out.push_back(&e);
}

void wall_index::sort_by_list(std::vector<const entry*>& found) {
    std::sort(found.begin(), found.end(), [](const entry* a, const entry* b) { return a->seq > b->seq; });
}

void wall_index::mark_covered(const entry& e) {
    // Every cell listing the wall lies within the box's cells: mark each copy. The entry may be
    // one of them, so the wall is read first.
    const wall_type* wall = e.wall;
    const int x0 = cell_x(e.x0 - hair), x1 = cell_x(e.x1 + hair), y0 = cell_y(e.y0 - hair), y1 = cell_y(e.y1 + hair);
    for (int wy = y0; wy <= y1; ++wy)
        for (int wx = x0; wx <= x1; ++wx)
            for (entry& copy : buckets_[wy * cells + wx])
                if (copy.wall == wall && !copy.covered) {
                    copy.covered = true;
                    --uncovered_[wy * cells + wx];
                    count_changed(wy * cells + wx);
                }
}

bool wall_index::edge_covered(double a, double b, double at, bool vertical, double limit) {
    // The edge from a to b along x (along y when vertical) at `at` across: each impact near it
    // holds a span of it, whose points lie closer than the limit; the spans are narrowed by far
    // more than rounding can move their ends, so what they hold surely lies that close. The edge
    // is covered when they join up over it.
    cover_spans_.clear();
    for (const auto& p : cover_points_) {
        const double along = vertical ? p.second : p.first, across = (vertical ? p.first : p.second) - at;
        const double room = limit - across * across;
        if (!(room > 0)) continue;
        const double half = std::sqrt(room) * (1 - 1e-12) - 1e-12 * (1 + std::abs(along));
        if (half > 0) cover_spans_.emplace_back(along - half, along + half);
    }
    std::sort(cover_spans_.begin(), cover_spans_.end());
    double reached = a;
    for (const auto& span : cover_spans_) {
        if (span.first > reached) return false;  // a gap before this span
        if (span.second >= reached) {
            reached = span.second;
            if (reached >= b) return true;
        }
    }
    return false;
}

void wall_index::uncover_all() {
    for (int c = 0; c < cells * cells; ++c) {
        for (entry& e : buckets_[c]) e.covered = false;
        uncovered_[c] = static_cast<std::uint32_t>(buckets_[c].size());
    }
    all_counts_changed();
}

void wall_index::sum_again() const {
    for (int line = 0; line < cells; ++line) {
        if (row_changed_[line]) {
            std::uint32_t* sums = &row_sums_[static_cast<std::size_t>(line) * (cells + 1)];
            for (int c = 0; c < cells; ++c) sums[c + 1] = sums[c] + uncovered_[line * cells + c];
            row_changed_[line] = 0;
        }
        if (column_changed_[line]) {
            std::uint32_t* sums = &column_sums_[static_cast<std::size_t>(line) * (cells + 1)];
            for (int c = 0; c < cells; ++c) sums[c + 1] = sums[c] + uncovered_[c * cells + line];
            column_changed_[line] = 0;
        }
    }
    sums_stale_ = false;
}

std::size_t wall_index::listed_in(double x0, double y0, double x1, double y1) const {
    if (!(x0 - hair <= width_ && x1 + hair >= 0 && y0 - hair <= height_ && y1 + hair >= 0)) return 0;
    if (packed_stale_) pack();
    const int cx0 = cell_x(x0 - hair), cx1 = cell_x(x1 + hair), cy0 = cell_y(y0 - hair), cy1 = cell_y(y1 + hair);
    std::size_t listed = 0;
    for (int y = cy0; y <= cy1; ++y) listed += first_[y * cells + cx1 + 1] - first_[y * cells + cx0];
    return listed;
}

bool wall_index::uncovered_within(double x, double y, double r, std::size_t most, std::vector<packed>& out) const {
    out.clear();
    if (!(x + r + hair >= 0 && x - r - hair <= width_ && y + r + hair >= 0 && y - r - hair <= height_)) return true;
    if (packed_stale_) pack();
    if (sums_stale_) sum_again();
    const int cx0 = cell_x(x - r - hair), cx1 = cell_x(x + r + hair), cy0 = cell_y(y - r - hair), cy1 = cell_y(y + r + hair);
    const double reach = r + hair;
    for (int cy = cy0; cy <= cy1; ++cy) {
        // Rows whose cells here list only covered walls are passed over in one step.
        const std::uint32_t* sums = row_sums_.data() + static_cast<std::size_t>(cy) * (cells + 1);
        if (sums[cx1 + 1] == sums[cx0]) continue;
        for (int cx = cx0; cx <= cx1; ++cx) {
            const int cell = cy * cells + cx;
            if (uncovered_[cell] == 0) continue;
            for (std::uint32_t i = first_[cell]; i != first_[cell + 1]; ++i) {
                const packed& p = packed_[i];
                const double gx = std::max({p.x0 - x, 0.0, x - p.x1}), gy = std::max({p.y0 - y, 0.0, y - p.y1});
                // The box first: it lies beside the entry, whose cover flag is a read away.
                if (gx * gx + gy * gy <= reach * reach && !p.e->covered) {
                    out.push_back(p);
                    if (out.size() > most) return false;
                }
            }
        }
    }
    return true;
}
