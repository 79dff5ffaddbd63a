// A uniform grid over the world with every wall listed in the cells its box touches, kept up to
// date as walls are added, resized and cleared, so that the geometric queries look only at the
// walls near a point or along a ray instead of walking the whole list.
//
// What it promises: every wall whose box (corners ordered, grown by a hair for rounding) meets a
// queried region is handed back, each once where the query says so; walls that reach outside the
// world are handed back to every query. Callers then apply their own exact test to what they get,
// so a query gives exactly the answer of the literal walk over the list. Walls come back in list
// order (newest first) where the caller asks for it, since some answers (ties, the order impacts
// are recorded in) depend on it. The cells' lists are also kept packed one after another, row by
// row and (unless the cells are crowded) column by column, for the walks that run on every tick;
// they are packed again after walls change.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <unordered_map>
#include <vector>

#include "support/types.h"

class wall_index {
public:
    struct entry {
        const wall_type* wall;
        std::uint64_t seq;  // larger is newer: list order is descending seq
        std::uint32_t slot;
        bool single;   // listed in one cell only: no query meets it twice
        bool covered;  // every point of the box's edges lies within the merge radius of an impact
        double x0, x1, y0, y1;  // the box, corners ordered
        double ax, ay, bx, by;  // the wall's corners as it gives them: (x, y) and (x + w, y + h)
    };

    // Cells along each side of the world. Finer cells hand fewer walls to a ray but cost a step
    // more for each border it crosses; 60 is quickest for worlds of tens to thousands of walls.
    static constexpr int cells = 60;

    wall_index(double width, double height);

    void add(const wall_type* wall);
    // After the wall's size changed.
    void update(const wall_type* wall);
    // Before the wall goes away: it leaves every cell and its slot is free again.
    void remove(const wall_type* wall);
    void clear();
    std::size_t size() const { return where_.size(); }

    // The walls whose boxes meet [x0, x1] x [y0, y1] (with the hair), each once, into `out`
    // (cleared first), in no particular order; sort_by_list puts them in list order.
    void gather_box(double x0, double y0, double x1, double y1, std::vector<const entry*>& out) const;
    static void sort_by_list(std::vector<const entry*>& found);
    // The same walls handed to `visit(packed)` while it returns true, from the packed lists,
    // without marks: a wall listed in several cells may come up more than once. For answers that
    // do not depend on that (whether any, which is nearest). The box handed with a wall is the
    // one its corners make, ordered by min and max (for walls reaching outside the world too).
    template <class Visit>
    void each_near(double x0, double y0, double x1, double y1, Visit&& visit) const;

    // Walks the cells that the ray from (ox, oy) along the unit direction (dx, dy) passes through,
    // nearest first, up to `length`. For each wall not handed out before, `visit(entry)` is
    // called; after each cell `more(t_exit)` says whether to go on, t_exit being the distance at
    // which the ray leaves the cell. Walls reaching outside the world are visited first. An origin
    // outside the world visits every wall. In a cell the ray enters at t_enter with
    // `pass_covered(t_enter)` true, covered walls are passed over (they may come up in a later
    // cell, where they are asked about again).
    template <class Visit, class More, class PassCovered>
    void walk_ray(double ox, double oy, double dx, double dy, double length, Visit&& visit, More&& more,
                  PassCovered&& pass_covered) const;

    // A wall's box beside its entry, the cells' lists packed one after another in row order.
    struct packed {
        double x0, x1, y0, y1;
        const entry* e;
    };
    // Distance from (x, y) to the box [x0, x1] x [y0, y1] (0 inside it), and to a packed box.
    // Inlined where it is called: a robot's step asks it of every wall near it.
    [[gnu::always_inline]] static double box_distance(double x0, double x1, double y0, double y1, double x, double y) {
        // The largest of three, the first of equal ones (as std::max of the three).
        auto max3 = [](double a, double b, double c) {
            double m = a;
            if (m < b) m = b;
            if (m < c) m = c;
            return m;
        };
        const double gx = max3(x0 - x, 0.0, x - x1), gy = max3(y0 - y, 0.0, y - y1);
        return std::sqrt(gx * gx + gy * gy);
    }
    [[gnu::always_inline]] static double box_distance(const packed& p, double x, double y) {
        return box_distance(p.x0, p.x1, p.y0, p.y1, x, y);
    }
    // Whether the packed box meets [x0, x1] x [y0, y1] grown by the hair: each_near's test.
    static bool meets(const packed& p, double x0, double y0, double x1, double y1) {
        return p.x0 <= x1 + hair && p.x1 >= x0 - hair && p.y0 <= y1 + hair && p.y1 >= y0 - hair;
    }
    // Whether walk_cells can take the ray from (ox, oy) along (dx, dy): no wall reaches outside
    // the world, the origin lies inside it and the direction is 1e-3 or more off both axes.
    bool cells_walkable(double ox, double oy, double dx, double dy) const {
        return spill_.empty() && ox >= 0 && ox <= width_ && oy >= 0 && oy <= height_ && std::abs(dx) >= 1e-3 &&
               std::abs(dy) >= 1e-3;
    }
    // The cells along the ray from (ox, oy) in the direction (dx, dy), row by row (or column by
    // column, where the ray crosses fewer columns and they are packed), up to `length`: for each
    // that lists a wall, nearest first, `cell(begin, end, t_enter, cell)` gets its packed list,
    // the distance at which the ray enters it and its number, and says whether to go on. Walls
    // listed in several cells come up in each. Along a direction within 1e-13 of another, these
    // hold every wall the other ray meets up to `length` less 1e-6: where the two part at a cell
    // corner or at the end, what one meets lies within the hair of the cells the other takes.
    // Before a row's cells (a column's, walking columns), `row_walls(begin, end, t_in, covered)`
    // gets the packed lists of all the cells the ray takes in it, one after another, the distance
    // at which it enters it and a test of whether all their walls are covered; it says whether to
    // go through the row's cells (above 0), pass the row over (0) or stop (below 0).
    // False, before any cell, for rays longer than 90 cells or where the ray starts on a border
    // and rounding puts its first step against its direction. Only for rays cells_walkable takes.
    template <class Row, class Cell>
    bool walk_cells(double ox, double oy, double dx, double dy, double length, Row&& row_walls, Cell&& cell) const;
    // Marks for a walk of one's own over walk_cells: begin_visits starts afresh; first_visit is
    // true the first time a wall comes up after that.
    void begin_visits() const { new_query(); }
    bool first_visit(const entry& e) const { return first_time(e); }
    // Whether every wall the cell lists is covered.
    bool all_covered(int cell) const { return uncovered_[cell] == 0; }
    // The uncovered walls inside the world whose boxes lie within `r` of (x, y), into `out`
    // (cleared first); a wall listed in several cells may come more than once. False, with
    // `out` incomplete, once there are more than `most`.
    bool uncovered_within(double x, double y, double r, std::size_t most, std::vector<packed>& out) const;
    // How many walls the cells meeting [x0, x1] x [y0, y1] list, counted as often as listed.
    std::size_t listed_in(double x0, double y0, double x1, double y1) const;
    // A wall's place in the row-ordered packed lists, as each_near hands it out (for walls inside
    // the world), and the wall at a place; places stand until a wall changes.
    std::uint32_t place_of(const packed& p) const { return static_cast<std::uint32_t>(&p - packed_.data()); }
    const packed& packed_at(std::uint32_t place) const { return packed_[place]; }
    // Whether some wall reaches outside the world.
    bool spills() const { return !spill_.empty(); }

    // Impact cover. A ray records an impact where it crosses a wall's edge, unless an earlier
    // impact lies closer than the merge radius: a wall every point of whose four edges lies that
    // close to one impact or another can add none, and rays that cannot choose it either may
    // pass it over. Walls start uncovered (new, resized, or after uncover_all); cover marks
    // those near a new impact, `impacts_near(x0, y0, x1, y1, out)` putting into `out` the
    // impacts lying in a box. `cover_version` and `cover_count` say which impacts the marks
    // stand for (the world's impact version and count when last brought up to date).
    using impact_points = std::vector<std::pair<double, double>>;
    template <class ImpactsNear>
    void cover(double ix, double iy, double r_sq, ImpactsNear&& impacts_near);
    void uncover_all();
    std::uint64_t cover_version = 0;
    int cover_count = 0;

    // How far a box is grown for rounding.
    static constexpr double hair = 1e-6;

private:
    // Amanatides and Woo: the cells a ray from (ox, oy) along (dx, dy) passes through, nearest
    // first, stepping each time across the nearer of the next vertical and horizontal border.
    // Past the last column (or row) the ray can still run within the hair of the grid's edge,
    // where the walls of the edge cells may meet it, a long way when it runs along the edge: it
    // stays in the edge cells until it is a hair beyond.
    struct cell_walk {
        int cx, cy, step_x, step_y;
        double next_x, next_y, delta_x, delta_y, beyond_x, beyond_y;
        cell_walk(const wall_index& index, double ox, double oy, double dx, double dy)
            : cx(index.cell_x(ox)), cy(index.cell_y(oy)), step_x(dx > 0 ? 1 : (dx < 0 ? -1 : 0)),
              step_y(dy > 0 ? 1 : (dy < 0 ? -1 : 0)) {
            const double inf = 1e300;
            next_x = step_x ? ((cx + (step_x > 0 ? 1 : 0)) * index.cw_ - ox) / dx : inf;
            next_y = step_y ? ((cy + (step_y > 0 ? 1 : 0)) * index.ch_ - oy) / dy : inf;
            delta_x = step_x ? index.cw_ / std::abs(dx) : inf;
            delta_y = step_y ? index.ch_ / std::abs(dy) : inf;
            beyond_x = step_x ? ((step_x > 0 ? index.width_ + hair : -hair) - ox) / dx : inf;
            beyond_y = step_y ? ((step_y > 0 ? index.height_ + hair : -hair) - oy) / dy : inf;
        }
        int cell() const { return cy * cells + cx; }
        // Where the ray leaves the current cell.
        double t_exit() const { return next_x < next_y ? next_x : next_y; }
        // On into the next cell (or on in the edge cell); false once a hair past the grid.
        bool advance() {
            if (next_x < next_y) return step(cx, step_x, next_x, delta_x, beyond_x);
            return step(cy, step_y, next_y, delta_y, beyond_y);
        }
        static bool step(int& c, int by, double& next, double delta, double beyond) {
            if (c + by >= 0 && c + by < cells) {
                c += by;
                next += delta;
                return true;
            }
            if (next >= beyond) return false;
            next = beyond;
            return true;
        }
    };

    // The floor of x / cw_ held to the grid; on the grid's side of zero the floor is the
    // truncation, far cheaper here than the floor. Not a number goes to 0.
    int cell_x(double x) const { return cell_of(x / cw_); }
    int cell_y(double y) const { return cell_of(y / ch_); }
    static int cell_of(double c) {
        if (!(c >= 0)) return 0;
        return c >= cells - 1 ? cells - 1 : static_cast<int>(c);
    }
    bool inside(const entry& e) const;
    void place(const entry& e);
    void unplace(const entry& e);
    bool first_time(const entry& e) const {
        if (e.single) return true;
        if (mark_[e.slot] == stamp_) return false;
        mark_[e.slot] = stamp_;
        return true;
    }
    void new_query() const;

    double width_, height_, cw_, ch_;
    std::vector<entry> buckets_[cells * cells];
    std::vector<entry> spill_;  // walls reaching outside the world
    std::unordered_map<const wall_type*, entry> where_;
    std::uint64_t next_seq_ = 1;
    std::vector<std::uint32_t> free_slots_;
    std::uint32_t slots_ = 0;
    // Uncovered walls listed in each cell.
    std::vector<std::uint32_t> uncovered_ = std::vector<std::uint32_t>(cells * cells, 0);
    // Their running sums along each row and each column (cells + 1 apiece), so that a walk asks
    // whether a row's span lists only covered walls in one step; rows and columns whose counts
    // changed are summed again before the next walk.
    mutable std::vector<std::uint32_t> row_sums_ = std::vector<std::uint32_t>(cells * (cells + 1), 0);
    mutable std::vector<std::uint32_t> column_sums_ = std::vector<std::uint32_t>(cells * (cells + 1), 0);
    mutable std::vector<std::uint8_t> row_changed_ = std::vector<std::uint8_t>(cells, 0);
    mutable std::vector<std::uint8_t> column_changed_ = std::vector<std::uint8_t>(cells, 0);
    mutable bool sums_stale_ = false;
    void count_changed(int cell) {
        row_changed_[cell / cells] = 1;
        column_changed_[cell % cells] = 1;
        sums_stale_ = true;
    }
    void all_counts_changed() {
        std::fill(row_changed_.begin(), row_changed_.end(), 1);
        std::fill(column_changed_.begin(), column_changed_.end(), 1);
        sums_stale_ = true;
    }
    void sum_again() const;
    // The walls near (ix, iy) that cover may mark: uncovered, 1e-3 or more a side, their box
    // meeting the square of half-side r round it.
    template <class Visit>
    void cover_candidates(double ix, double iy, double r, Visit&& visit);
    void mark_covered(const entry& e);
    bool edge_covered(double a, double b, double at, bool vertical, double limit);
    impact_points cover_points_;
    std::vector<std::pair<double, double>> cover_spans_;
    // Whether each cell lists any wall: rays cross mostly empty cells, and this is read without
    // touching the cell's list.
    std::vector<std::uint8_t> occupied_ = std::vector<std::uint8_t>(cells * cells, 0);
    // The lists packed for walk_cells, rebuilt when a wall came or went since: `first_` holds
    // where each cell's walls start, cell by cell in row order, and one more for the end.
    mutable std::vector<packed> packed_;
    mutable std::vector<std::uint32_t> first_;
    // The same lists column by column, for rays that cross fewer columns than rows, while the
    // cells list no more than `columns_packed_up_to` walls each on average.
    static constexpr std::size_t columns_packed_up_to = 2;
    mutable std::vector<packed> packed_columns_;
    mutable std::vector<std::uint32_t> first_columns_;
    mutable bool columns_packed_ = false;
    mutable bool packed_stale_ = true;
    void pack() const;
    template <bool Columns, class Row, class Cell>
    bool walk_lines(double ox, double oy, double dx, double dy, double length, Row& row_walls, Cell& cell) const;
    // Per-query marks, so a wall listed in several cells is handed out once.
    mutable std::vector<std::uint32_t> mark_;
    mutable std::uint32_t stamp_ = 0;
};

template <class Visit, class More, class PassCovered>
void wall_index::walk_ray(double ox, double oy, double dx, double dy, double length, Visit&& visit, More&& more,
                          PassCovered&& pass_covered) const {
    new_query();
    auto hand_out = [&](const std::vector<entry>& list) {
        for (const entry& e : list)
            if (first_time(e)) visit(e);
    };
    hand_out(spill_);
    if (!(ox >= 0 && ox <= width_ && oy >= 0 && oy <= height_)) {
        for (const auto& kv : where_)
            if (first_time(kv.second)) visit(kv.second);
        return;
    }
    cell_walk walk(*this, ox, oy, dx, dy);
    double t_enter = 0;
    for (;;) {
        const int cell = walk.cell();
        if (occupied_[cell]) {
            if (!pass_covered(t_enter)) {
                hand_out(buckets_[cell]);
            } else if (uncovered_[cell] > 0) {
                for (const entry& e : buckets_[cell])
                    if (!e.covered && first_time(e)) visit(e);
            }
        }
        const double t_exit = walk.t_exit();
        t_enter = t_exit;
        if (!(t_exit <= length) || !more(t_exit)) return;
        if (!walk.advance()) return;
    }
}

template <class Row, class Cell>
bool wall_index::walk_cells(double ox, double oy, double dx, double dy, double length, Row&& row_walls, Cell&& cell) const {
    if (!(length <= 90 * std::min(cw_, ch_))) return false;
    if (packed_stale_) pack();
    if (sums_stale_) sum_again();
    // Along rows when the ray crosses fewer rows than columns, else along columns: a ray costs
    // one step for each line it crosses.
    if (!columns_packed_ || std::abs(dy) * cw_ <= std::abs(dx) * ch_)
        return walk_lines<false>(ox, oy, dx, dy, length, row_walls, cell);
    return walk_lines<true>(ox, oy, dx, dy, length, row_walls, cell);
}

template <bool Columns, class Row, class Cell>
bool wall_index::walk_lines(double ox, double oy, double dx, double dy, double length, Row& row_walls, Cell& cell) const {
    // Written for rows; along columns, x and y trade places and the column-ordered lists serve.
    if constexpr (Columns) {
        std::swap(ox, oy);
        std::swap(dx, dy);
    }
    const double cw = Columns ? ch_ : cw_, ch = Columns ? cw_ : ch_;
    const std::vector<packed>& lists = Columns ? packed_columns_ : packed_;
    const std::uint32_t* firsts = Columns ? first_columns_.data() : first_.data();
    const int sx = dx > 0 ? 1 : -1, sy = dy > 0 ? 1 : -1;
    const double inv_dx = 1 / dx, inv_dy = 1 / dy, inv_cw = 1 / cw;
    int row = Columns ? cell_x(oy) : cell_y(oy), col = Columns ? cell_y(ox) : cell_x(ox);
    double t_in = 0;
    for (;;) {
        // The ray in this row: from column `col`, entered at t_in, to column `last`, where it
        // leaves the row or ends.
        const double t_out = ((row + (sy > 0 ? 1 : 0)) * ch - oy) * inv_dy;
        const bool ends = !(t_out <= length);
        const double x_out = ox + dx * (ends ? length : t_out);
        // The column: the ray stays within 900 columns of the grid, where truncation after the
        // shift is the floor.
        const int last = static_cast<int>(x_out * inv_cw + 1000.0) - 1000;
        if (sx > 0 ? last < col : last > col) return false;
        const int stop = std::clamp(last, 0, cells - 1);
        const std::uint32_t* first = firsts + static_cast<std::size_t>(row) * cells;
        const int lo = std::min(col, stop), hi = std::max(col, stop);
        // Whether every wall listed in the row's cells is covered.
        const std::uint32_t* sums = (Columns ? column_sums_ : row_sums_).data() + static_cast<std::size_t>(row) * (cells + 1);
        auto all_covered = [sums, lo, hi] { return sums[hi + 1] == sums[lo]; };
        const int go =
            first[lo] != first[hi + 1] ? row_walls(&lists[first[lo]], &lists[first[hi + 1]], t_in, all_covered) : 0;
        if (go < 0) return true;
        if (go > 0) {
            for (int c = col;; c += sx) {
                if (first[c] != first[c + 1]) {
                    const double t_enter = c == col ? t_in : ((c + (sx > 0 ? 0 : 1)) * cw - ox) * inv_dx;
                    const int number = Columns ? c * cells + row : row * cells + c;
                    if (!cell(&lists[first[c]], &lists[first[c + 1]], t_enter, number)) return true;
                }
                if (c == stop) break;
            }
        }
        // Off the grid, at the end of the ray, or on into the next row.
        if (ends || last != stop) return true;
        row += sy;
        if (row < 0 || row >= cells) return true;
        t_in = t_out;
        col = last;
    }
}

template <class Visit>
void wall_index::each_near(double x0, double y0, double x1, double y1, Visit&& visit) const {
    for (const entry& e : spill_) {
        const wall_type* w = e.wall;
        const packed p{std::min(w->x, w->x + w->w), std::max(w->x, w->x + w->w), std::min(w->y, w->y + w->h),
                       std::max(w->y, w->y + w->h), &e};
        if (!visit(p)) return;
    }
    // Walls inside the world cannot meet a region wholly outside it.
    if (!(x0 - hair <= width_ && x1 + hair >= 0 && y0 - hair <= height_ && y1 + hair >= 0)) return;
    if (packed_stale_) pack();
    const int cx0 = cell_x(x0 - hair), cx1 = cell_x(x1 + hair), cy0 = cell_y(y0 - hair), cy1 = cell_y(y1 + hair);
    // A row's cells from cx0 to cx1 are listed one after another.
    for (int y = cy0; y <= cy1; ++y) {
        const std::uint32_t* first = &first_[static_cast<std::size_t>(y) * cells];
        for (std::uint32_t i = first[cx0]; i != first[cx1 + 1]; ++i) {
            const packed& p = packed_[i];
            if (meets(p, x0, y0, x1, y1) && !visit(p)) return;
        }
    }
}

template <class Visit>
void wall_index::cover_candidates(double ix, double iy, double r, Visit&& visit) {
    const double min_side = 1e-3;
    for (int y = cell_y(iy - r); y <= cell_y(iy + r); ++y)
        for (int x = cell_x(ix - r); x <= cell_x(ix + r); ++x)
            for (std::size_t i = 0; i < buckets_[y * cells + x].size(); ++i) {
                const entry& e = buckets_[y * cells + x][i];
                if (!e.covered && e.x1 - e.x0 >= min_side && e.y1 - e.y0 >= min_side && e.x0 <= ix + r &&
                    e.x1 >= ix - r && e.y0 <= iy + r && e.y1 >= iy - r)
                    visit(e);
            }
}

template <class ImpactsNear>
void wall_index::cover(double ix, double iy, double r_sq, ImpactsNear&& impacts_near) {
    // A crossing lies on an edge up to rounding: along the edge it is held to the edge's ends,
    // across it the crossing of the two lines can stray by about 1e-13 over the edge's length.
    // Boxes 1e-3 or more a side keep that below 1e-9, well inside this margin on the squared
    // distance (5e-9 on the distance); thinner ones are never covered.
    const double limit = r_sq - 1e-9;
    if (!(limit > 0) || !(ix >= 0 && ix <= width_ && iy >= 0 && iy <= height_)) return;
    const double r = std::sqrt(r_sq);
    cover_candidates(ix, iy, r, [&](const entry& e) {
        // Only a wall the new impact reaches can be covered now.
        const double nx = std::clamp(ix, e.x0, e.x1) - ix, ny = std::clamp(iy, e.y0, e.y1) - iy;
        if (!(nx * nx + ny * ny < limit)) return;
        impacts_near(e.x0 - r, e.y0 - r, e.x1 + r, e.y1 + r, cover_points_);
        if (edge_covered(e.x0, e.x1, e.y0, false, limit) && edge_covered(e.x0, e.x1, e.y1, false, limit) &&
            edge_covered(e.y0, e.y1, e.x0, true, limit) && edge_covered(e.y0, e.y1, e.x1, true, limit))
            mark_covered(e);
    });
}
