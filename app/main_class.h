// The application object: main window, back buffer, palette, key table, tick and world.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/draw.h"
#include "platform/window.h"
#include "support/stats.h"
#include "support/version.h"
#include "support/types.h"
#include "world/run_figures.h"

class world_class;
class replay_class;

// What the command line adds for scripted and headless runs; defaults change nothing.
struct run_options {
    bool headless = false;
    long long ticks = -1;     // quit after this many ticks; -1 runs until closed
    double fixed_step = 0.0;  // seconds of simulation per tick; 0 follows the real clock
    bool seed_set = false;
    unsigned seed = 0;
    std::string snapshot;  // PNG of the back buffer at exit
    bool stats = false;    // print run figures at exit
    std::string keys;      // main-window keys pressed once at start, e.g. "HGI"
    std::string world;     // world file: walls and target loaded at start, saved by key S
    bool bodies = false;   // robots are bodies to one another
    std::string record;    // the run's record (CSV) written here
    long long record_every = 10;  // ticks between two sets of poses in the record
    std::string replay;    // a record played back instead of a simulation
};

class main_class {
public:
    static constexpr unsigned tick_timer_id = 101;
    // Once a second the title shows the tick period and the ticks measured.
    static constexpr unsigned figures_timer_id = 102;
    static constexpr const char* version = swarm_version;
    static constexpr const char* credit = "by the swarm controller team";

    bool left_drag = false;
    bool right_drag = false;
    bool keys[256] = {};
    int tick_interval = 10;
    int buffer_width = 0;
    int buffer_height = 0;
    platform::dc* memdc = nullptr;
    platform::bitmap* membmp = nullptr;

    world_class* world = nullptr;

    // Additions for scripted runs.
    platform::window hwnd = nullptr;
    run_options options;
    long long ticks_done = 0;
    duration_histogram update_times, draw_times, tick_times;

    main_class();
    explicit main_class(const run_options& opts);
    ~main_class();
    main_class(const main_class&) = delete;
    main_class& operator=(const main_class&) = delete;

    int setup_window();
    static platform::lresult proc_wrapper(platform::window w, unsigned msg, platform::wparam wp,
                                          platform::lparam lp);
    platform::lresult proc(platform::window w, unsigned msg, platform::wparam wp, platform::lparam lp);

    void main_startup(platform::window w);
    void main_shutdown();
    void memdc_setup(platform::window w);
    void window_paint(platform::window w);
    // A repeat is a key-down of a key already held (the platform's flag in the long parameter).
    void key_down(platform::window w, unsigned code, bool repeat = false);
    void key_up(unsigned code);
    void timer_message(platform::window w, unsigned id);
    void mouse_down(platform::lparam pos);
    void mouse_up(platform::lparam pos);
    void mouse_move(platform::lparam pos);
    void main_menu(platform::window w, unsigned id);
    // The second press of a double click: on a robot it chooses the robot and shows its console;
    // elsewhere it is a press like any other.
    void mouse_double(platform::lparam pos);
    // The written title followed by the tick period and the ticks per second last measured.
    void show_figures(platform::window w);

    // One simulation step and redraw, as the tick timer runs it.
    void tick(platform::window w);
    // Writes the snapshot and the statistics the options ask for; only the first call acts.
    void finish_run();

private:
    void release_back_buffer();
    // Where the robots were lately, for the run figures.
    run_figures figures;
    void record_positions();
    void start_tick_timer(platform::window w);
    bool finished_ = false;

    // The run's record and a record played back.
    std::unique_ptr<replay_class> replay_;
    double replay_start_ = 0;
    bool replay_ended_ = false;
    bool recording_ = false;
    long long posed_tick_ = -1;  // the tick of the last poses recorded
    void start_record();
    void record_tick();

    std::string title_;
    long long figures_ticks_ = 0;
    double figures_time_ = 0;
    long ticks_per_second_ = 0;
    void measure_ticks();

    // A press on a robot becomes a choice when the button comes up where it went down, and a
    // wall only once the pointer moves; -1 when the press was not on a robot.
    int press_robot_ = -1;
    platform::lparam press_pos_ = 0;
    platform::lparam pointer_ = 0;  // where the pointer was last seen over the client area
    // Walls drawn with the mouse since start, oldest first: Ctrl+Z takes back the last.
    std::vector<wall_type*> drawn_walls_;
    void add_drawn_wall(platform::lparam pos);
    void take_back_wall(wall_type* wall);
};
