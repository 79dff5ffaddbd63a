// The simulated arena: walls, markers, impacts, the target and the robots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/draw.h"
#include "robot/nav_grid.h"
#include "world/body_index.h"
#include "world/impact_index.h"
#include "world/palette.h"
#include "world/view_index.h"
#include "world/wall_index.h"
#include "support/types.h"

class robot_class;

// What a world is made with: the size of the picture it draws into and the world file it loads
// at start (none when empty).
struct world_setup {
    int picture_width = 0;
    int picture_height = 0;
    std::string world_file;
    // Robots are bodies to one another (a world file can also ask for it).
    bool bodies = false;
    // These robots instead of those of robots.txt, with no host of their own (a replay's).
    bool robots_named = false;
    std::vector<std::string> robot_names{};
};

class world_class {
public:
    static constexpr int max_robots = 99;
    static constexpr int robot_table_size = 100;
    // Only the newest markers are ever drawn; the trail keeps no more than that.
    static constexpr int max_markers = 500;
    // From this many walls on, they are drawn from a layer kept until a wall or the picture's
    // size changes.
    static constexpr int walls_layer_from = 256;
    // A robot's control port; its camera is on the port after it.
    static constexpr int max_port = 65534;
    // Most walls a world file may add.
    static constexpr int max_file_walls = 100000;

    double world_width = 10.0;
    double world_height = 10.0;

    wall_type* walls = nullptr;
    int wall_count = 0;
    marker_type* markers = nullptr;
    impact_type* impacts = nullptr;
    int impact_count = 0;

    bool show_grad = false;
    bool markers_on = false;
    bool show_impacts = false;
    bool show_map = false;
    bool show_walls = true;

    double target_x = 5.0;
    double target_y = 5.0;

    double impact_gain = 0.11;
    double waypoint_gain = 0.86;
    double map_gain = 0.193;

    robot_class* robots[robot_table_size] = {};
    unsigned num_robots = 0;

    palette_type palette;
    // The picture the scene is drawn into; its owner says when it changes size.
    int picture_width = 0;
    int picture_height = 0;

    explicit world_class(const world_setup& setup = {});
    ~world_class();
    world_class(const world_class&) = delete;
    world_class& operator=(const world_class&) = delete;

    void load_robots();
    static void robot_parse_wrapper(void* context, char* line);
    void robot_parse(char* line);

    void update();
    void draw(platform::dc* hdc);

    int get_screen_x(double x) const;
    int get_screen_y(double y) const;
    double get_world_x(unsigned px) const;
    double get_world_y(unsigned py) const;
    void get_bounding_rect(double cx, double cy, double w, double h, platform::rect& r) const;

    void add_wall(double x, double y, double w, double h);
    void free_walls();
    void add_marker(double x, double y);
    void free_markers();
    int marker_count() const { return marker_total; }
    void add_impact(double x, double y);
    void free_impacts();

    // Changes a wall's size in place (the mouse drags the newest wall).
    void resize_wall(wall_type* wall, double w, double h);
    // Takes a wall out of the list and frees it, with the impacts seen on it alone; border walls
    // and walls not in the list stay, with a log line. Returns whether the wall went.
    bool remove_wall(wall_type* wall);
    // Drops the impacts that lie on the wall's box and on no other wall's.
    void forget_impacts_on(const wall_type& gone);
    bool is_border_wall(const wall_type* wall) const;
    // The newest wall whose box holds (x, y), border walls left out; null when there is none.
    wall_type* wall_at(double x, double y);

    // The robot the operator looks at: the grid, the gradient field and the path drawn are its
    // own. The first robot until the operator chooses another; only a chosen robot is marked.
    unsigned chosen = 0;
    bool chosen_marked = false;
    robot_class* chosen_robot() const;
    void choose_robot(unsigned index);
    // The robot drawn on top (the last in table order) whose body holds (x, y); -1 when none.
    int robot_at(double x, double y) const;
    // Each robot's name beside its body, cut to max_name_shown characters.
    bool show_names = false;
    static constexpr std::size_t max_name_shown = 32;

    void set_target(double x, double y);
    void random_target();
    // A random point 1 from the borders (y drawn first, then x), drawn again while it lies
    // within target_wall_margin of a wall box, at most 100 times.
    point random_free_point();
    // Whether (x, y) lies within `margin` of any wall box.
    bool close_to_wall(double x, double y, double margin) const;
    // Whether any wall holding the point `on` lies closer to (to_x, to_y) than to (from_x, from_y).
    bool approaches_wall_at(const point& on, double from_x, double from_y, double to_x, double to_y) const;
    double target_dist(double x, double y) const;
    // Whether the step from (from_x, from_y) to (to_x, to_y) brings a body of `radius` closer to
    // a wall that lies within the radius of the step's end; `away` then gets the unit direction
    // away from the nearest such wall at the step's start (out of it, from inside).
    bool step_blocked(double from_x, double from_y, double to_x, double to_y, double radius, point* away);
    // The nearest point from (x, y), walking straight out of walls, where a body of radius
    // `clearance` lies clear of every wall and inside the world; false when none is found
    // within a few walls.
    bool way_out(double x, double y, double clearance, point& out) const;

    // Layers of the scene and the shared drawing primitives.
    void draw_walls(platform::dc* hdc);
    void draw_markers(platform::dc* hdc);
    void draw_impacts(platform::dc* hdc);
    void draw_target(platform::dc* hdc, double x, double y);
    void draw_names(platform::dc* hdc);
    void draw_chosen_mark(platform::dc* hdc);
    void draw_arrow(platform::dc* hdc, double x, double y, double angle, double length);
    // A hollow ring `width` pixels thick of outer diameter `size` round (x, y).
    void draw_ring(platform::dc* hdc, double x, double y, double size, platform::color c, int width);
    void draw_line(platform::dc* hdc, const line& l);
    void draw_sensor(platform::dc* hdc, double x, double y, double angle, double dist, double size,
                     unsigned long color);

    // Sensing and collision.
    bool check_wall_point(double x, double y) const;
    bool check_sensor(double x, double y, double angle, double range, int slot = -1);
    // A robot about to sense from (x, y) gives its place in the table: once it has looked from
    // there `view_after` times running (it stands or turns on the spot), what it sees from there
    // is kept until it moves or a wall changes. Its sensors and vision rays from that spot, given
    // the same slot, then look only at the walls in their direction; the answers and impacts are
    // those of the whole cast. (Its probe rays keep to the probe's fan, which holds fewer walls:
    // the near ones and those that may still record an impact.)
    void look_from(int slot, double x, double y);
    // Making a view costs as much as some twenty ticks of rays cast without one: robots that
    // stop for a moment (against a wall, or to turn) go on before it pays, while one that has
    // stood for a sixth of a second (at 100 ticks a second) tends to stand on.
    static constexpr int view_after = 16;
    double check_vision(double x, double y, double angle, bool& seen, point& hit, int slot = -1);
    // The same cast, exact only for what lies closer than `reach` (at most the horizon): walls
    // farther away are passed over, as neither their impacts (closer than 1.0) nor a short
    // collision distance can come from them. `seen` may then miss hits at `reach` or beyond.
    double check_vision_within(double x, double y, double angle, bool& seen, point& hit, double reach);
    // The collision probe's cast: as check_vision_within, recording the same impacts, but exact
    // only for walls closer than `near` (less than `reach`). The distance, `seen` and `hit` are
    // those of check_vision_within where it finds a wall closer than `near`; otherwise they may
    // come from a wall farther on, or be the horizon and false.
    // A robot gives its place in the table as `slot`: what it gathers for its fan is kept for its
    // next fans, while it stays within a step or so of where they were gathered.
    double probe_within(double x, double y, double angle, bool& seen, point& hit, double reach, double near,
                        int slot = -1);

    // The gradient field.
    void compute_impact_vector(double x, double y, point& v) const;
    void compute_grad_point(robot_class* robot, double x, double y, double& angle, double& magnitude);
    void draw_grad(platform::dc* hdc);
    void world_draw_map_grid(robot_class* robot, platform::dc* hdc);

    // World files: operator walls and the target as plain text. Loading reads regular files of
    // at most 16 MiB and up to max_file_walls walls, and logs and skips bad lines; saving writes
    // a temporary file and renames it, through a symbolic link to the file it names. Save returns
    // the walls written, or -1 when the file could not be written.
    bool load_world(const char* file_name);
    int save_world(const char* file_name) const;
    // Walls came from a world file: robots do not start right next to them.
    bool walls_from_file = false;
    static constexpr double start_wall_margin = 0.3;
    static constexpr double target_wall_margin = 0.3;

    // No robot can reach the target: every robot's last walk since the target changed failed.
    bool target_unreachable() const;
    // Counts target changes; walks remember the count they planned for.
    std::uint64_t target_serial() const { return target_changes; }
    std::uint64_t target_changes = 0;
    // Longest simulated time between two target changes, the time since the last one included.
    double target_wait_max_s() const;

    // The distance grid every robot plans over, computed once per change of impacts or target.
    const std::int32_t (*shared_nav_grid())[75];
    // Bumped whenever the impact set changes.
    std::uint64_t impact_version() const { return impact_version_; }
    // Depth of targets chosen by failed path walks inside one another.
    int replan_depth = 0;
    // Statistics for scripted runs.
    std::uint64_t targets_reached = 0;
    std::uint64_t replans = 0;
    // The longest any robot in auto mode has gone without moving 0.1.
    double held_max_s = 0;
    void note_held(double seconds) { held_max_s = seconds > held_max_s ? seconds : held_max_s; }

    // Bodies: with them on, every robot is a disc of its diameter to every other one, seen by
    // the sensors, the rays and the probe but never recorded as an impact. Off, robots pass
    // through one another.
    bool bodies = false;
    // The deepest overlap of two robot bodies after any tick, bodies on or off.
    double bodies_overlap_max = 0;
    const body_index& body_grid() const { return bodies_; }
    // Lists every robot's body afresh, each under its place in the table.
    void list_bodies();
    // After a robot stepped.
    void body_moved(const robot_class& robot);

private:
    int buffer_w() const;
    int buffer_h() const;

    platform::bitmap* walls_layer_ = nullptr;
    std::uint64_t walls_layer_version_ = 0;
    // Every wall, listed in the cells of a grid over the world; the queries' scratch lists.
    wall_index wall_index_{world_width, world_height};
    mutable std::vector<const wall_index::entry*> query_;
    struct ray_wall {
        const wall_index::entry* entry;
        double d;  // the box cast's distance and crossing
        point at;
    };
    std::vector<ray_wall> ray_walls_;
    double cast_within(double x, double y, double angle, bool& seen, point& hit, double reach, double near);
    // What each robot sees from where it stands (made on first use), and the one the robot
    // looking now may use.
    struct robot_view {
        double x = 0, y = 0;
        std::uint64_t wall_version = 0;
        int looks = 0;
        bool built = false;
        view_index index;
    };
    // Views are made where the cells within sight list at most this many walls.
    static constexpr std::size_t view_most = 1024;
    std::vector<robot_view> slot_views_;
    std::vector<std::uint32_t> scratch_places_;
    const view_index* view_ = nullptr;
    int view_slot_ = -1;
    std::uint64_t view_version_ = 0;
    const view_index* view_for(double x, double y, int slot) const {
        return view_ && slot == view_slot_ && x == view_->x() && y == view_->y() && view_version_ == wall_version_
                   ? view_
                   : nullptr;
    }
    // Asks the memory for what the slot's robot reads first when it senses heading this way: its
    // kept view's sectors, if any, and its probe fan's lists.
    void fetch_for(int slot, double heading) const;
    // A vision ray from the view's point.
    double cast_in_view(const view_index& view, double angle, bool& seen, point& hit);
    // The collision probe casts a fan of rays from one point, and only two kinds of wall matter
    // to a ray of it: those within `near` of the point (a hit there must be exact) and uncovered
    // ones within its reach (they may record impacts). Both are gathered once for the fan; a
    // ray that can meet none of the second kind is cast against the first alone.
    // The walls round the point the last fan went out from, each once with its box, a little
    // wider than the fan needs: the robot's step from there and the tests of what its probe hit
    // ask within it. No wall reaches outside the world while it holds any.
    struct neighbourhood {
        double x0 = 0, y0 = 0, x1 = -1, y1 = -1;
        std::uint64_t wall_version = 0;
        std::vector<wall_index::packed> walls;
    };
    struct probe_fan {
        double x = 0, y = 0, reach = -1, near = -1;
        std::uint64_t wall_version = 0, impact_version = 0;
        bool usable = false;  // no wall reaches outside the world and the point lies inside it
        // Each list of walls also as its boxes' sides, grown by the rough margin, one array a
        // side, for the rough test of a whole list at once.
        struct walls {
            std::vector<wall_index::packed> list;
            std::vector<double> x0, x1, y0, y1;
            void clear();
            void add(const wall_index::packed& p);
            // Into `taken`, the indices of the walls whose grown boxes the ray from (ox, oy)
            // along (dx, dy) (1e-3 or more off both axes) meets within `far`; their count.
            std::size_t may_meet(double ox, double oy, double dx, double dy, double far, std::uint32_t* taken) const;
        } near_walls, uncovered;
        neighbourhood around;
    };
    // The fan of callers that give no slot, and one for each robot (made on first use, and never
    // moved after, so that `fan_` may point into them); `fan_` is the one gathered last.
    static constexpr double fan_move = 0.02;
    probe_fan shared_fan_;
    std::vector<probe_fan> slot_fans_;
    probe_fan* fan_ = &shared_fan_;
    // The walls each_near hands out for [x0, x1] x [y0, y1], to `visit` while it returns true:
    // from the neighbourhood (each once) where it holds the box, else from the grid.
    template <class Visit>
    void each_wall_near(double x0, double y0, double x1, double y1, Visit&& visit) const {
        const neighbourhood& around = fan_->around;
        if (around.wall_version == wall_version_ && x0 >= around.x0 && x1 <= around.x1 && y0 >= around.y0 &&
            y1 <= around.y1) {
            for (const wall_index::packed& p : around.walls)
                if (wall_index::meets(p, x0, y0, x1, y1) && !visit(p)) return;
            return;
        }
        wall_index_.each_near(x0, y0, x1, y1, visit);
    }
    std::vector<wall_index::packed> scratch_packed_;
    bool gather_fan(double x, double y, double reach, double near, int slot);
    double cast_in_fan(double x, double y, double angle, bool& seen, point& hit, double reach, double near);
    // The nearest of the walls a cast found (ray_walls_), recording their impacts.
    double choose_cast(bool& seen, point& hit);
    // The last angle whose cosine and sine were taken: a sensor and its vision ray share one.
    double trig_angle_ = 0, trig_cos_ = 1, trig_sin_ = 0;
    void cos_sin(double angle, double& c, double& s);
    std::uint64_t wall_version_ = 1;
    // The four walls the world makes itself; world files never hold them.
    const wall_type* border_walls_[4] = {};
    double last_target_time_ = 0, target_wait_max_ = 0;

    impact_index impact_index_{10.0, 10.0};
    // Each robot's impacts round where it stands, by its place in the table.
    std::vector<impact_index::nearby> nearby_impacts_;
    // The nearest impact's vector, through `kept` when given.
    void impact_vector(double x, double y, point& v, impact_index::nearby* kept) const;
    body_index bodies_{10.0, 10.0};
    std::uint64_t impact_seq_ = 0;
    std::uint64_t impact_version_ = 1;

    struct nav_cache {
        bool valid = false;
        std::uint64_t impact_version = 0;
        int target_mx = -1, target_my = -1;
        std::int32_t grid[75][75];
        nav_costs costs;  // kept across impacts: new ones are laid over it
    };
    nav_cache* nav_ = nullptr;

    // The marker trail lives in a ring of fixed records linked newest first; adding to a full
    // ring reuses the oldest record.
    marker_type marker_pool[max_markers] = {};
    int marker_newest = -1;
    int marker_total = 0;
};

unsigned long get_sensor_color(bool hit);
