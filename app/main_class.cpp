#include "app/main_class.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>

#include "app/run_record.h"

#include "console/robot_win.h"
#include "resources/main_menu.h"
#include "robot/robot.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/random.h"
#include "support/record.h"
#include "world/world.h"

using namespace platform;

main_class::main_class() : main_class(run_options{}) {}

main_class::main_class(const run_options& opts) : options(opts) {
    log("[Main] constuctor\n");
    for (bool& k : keys) k = false;
    tick_interval = 10;
    left_drag = right_drag = false;
}

main_class::~main_class() {
    run_record().close();
    // Escape and the consoles end the loop without the destroy handler; the back buffer goes
    // with the process either way, but release it here so nothing is left behind.
    release_back_buffer();
}

int main_class::setup_window() {
    if (!class_registered("SwarmWin") && !register_class("SwarmWin", proc_wrapper, &::main_menu)) return 1;
    char title[256];
    std::snprintf(title, sizeof title, "Quorin Swarm Controller. Version %s %s  ", version, credit);
    title_ = title;
    window w = create_window("SwarmWin", title, 120, 120, 640, 480, this);
    if (!w) return 1;
    show_window(w, true);
    update_window(w);
    return 0;
}

lresult main_class::proc_wrapper(window w, unsigned msg, wparam wp, lparam lp) {
    if (msg == msg_nc_create) {
        auto* cp = reinterpret_cast<create_params*>(lp);
        if (cp && cp->param) set_user_data(w, cp->param);
    }
    auto* self = static_cast<main_class*>(get_user_data(w));
    if (!self) return def_window_proc(w, msg, wp, lp);
    return self->proc(w, msg, wp, lp);
}

lresult main_class::proc(window w, unsigned msg, wparam wp, lparam lp) {
    switch (msg) {
        case msg_create:
            main_startup(w);
            return 0;
        case msg_destroy:
            main_shutdown();
            post_quit(0);
            return 0;
        case msg_size:
            release_back_buffer();
            memdc_setup(w);
            return 0;
        case msg_paint:
            window_paint(w);
            return 0;
        case msg_key_down:
            key_down(w, static_cast<unsigned>(wp), lp != 0);
            return 0;
        case msg_key_up:
            key_up(static_cast<unsigned>(wp));
            return 0;
        case msg_timer:
            timer_message(w, static_cast<unsigned>(wp));
            return 0;
        case msg_left_down:
            mouse_down(lp);
            return 0;
        case msg_left_double:
            mouse_double(lp);
            return 0;
        case msg_left_up:
            mouse_up(lp);
            return 0;
        case msg_mouse_move:
            mouse_move(lp);
            return 0;
        case msg_right_down:
            // A replay's target is the recorded one.
            if (world && !replay_) world->set_target(world->get_world_x(low_word(lp)), world->get_world_y(high_word(lp)));
            right_drag = true;
            return 0;
        case msg_right_up:
            right_drag = false;
            return 0;
        case msg_command:
            main_menu(w, static_cast<unsigned>(wp));
            return 0;
        default:
            return def_window_proc(w, msg, wp, lp);
    }
}

void main_class::main_startup(window w) {
    hwnd = w;
    if (options.seed_set) set_seed_override(options.seed);
    set_fixed_step(options.fixed_step);
    rand_seed();
    memdc_setup(w);
    world_setup setup{buffer_width, buffer_height, options.world, options.bodies};
    if (!options.replay.empty()) {
        replay_ = std::make_unique<replay_class>();
        std::string reason;
        if (!replay_->open(options.replay, reason)) {
            log("[Replay] Unable to replay %s: %s\n", options.replay.c_str(), reason.c_str());
            std::fprintf(stderr, "swarm: cannot replay %s: %s\n", options.replay.c_str(), reason.c_str());
        }
        // The record's robots, not those of robots.txt; its world unless another is asked for.
        setup.robots_named = true;
        setup.robot_names = replay_->robot_names();
        if (setup.world_file.empty()) setup.world_file = replay_->world_file();
        // The operator sees at a glance that nothing here is live.
        title_ += "- replay of " + options.replay + " ";
        set_window_title(w, title_.c_str());
    }
    world = new world_class(setup);
    if (replay_) {
        replay_->start(*world);
        replay_start_ = get_wall_time();
        replay_->play_next(*world);
    } else {
        world->update();
    }
    world->draw(memdc);
    record_positions();
    start_record();
    start_tick_timer(w);
    figures_time_ = get_wall_time();
    set_timer(w, figures_timer_id, 1000);
    for (char c : options.keys) {
        const unsigned code = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        key_down(w, code);
        key_up(code);
    }
}

void main_class::main_shutdown() {
    finish_run();
    delete world;
    world = nullptr;
    release_back_buffer();
}

void main_class::release_back_buffer() {
    if (membmp) select_bitmap(memdc, nullptr);
    delete_bitmap(membmp);
    membmp = nullptr;
    delete_dc(memdc);
    memdc = nullptr;
}

void main_class::memdc_setup(window w) {
    rect r = get_client_rect(w);
    buffer_width = r.right - r.left;
    buffer_height = r.bottom - r.top;
    log("[Main] memdc_setup x:   %d  y: %d\n", buffer_width, buffer_height);
    if (world) {
        world->picture_width = buffer_width;
        world->picture_height = buffer_height;
    }
    memdc = create_memory_dc();
    membmp = create_bitmap(buffer_width, buffer_height);
    select_bitmap(memdc, membmp);
}

void main_class::window_paint(window w) {
    dc* d = begin_paint(w);
    bit_blt(d, 0, 0, buffer_width, buffer_height, memdc, 0, 0);
    end_paint(w, d);
}

void main_class::start_tick_timer(window w) {
    // A fixed step runs ticks back to back; otherwise the tick keeps its real period.
    set_timer(w, tick_timer_id, options.fixed_step > 0 ? 0u : static_cast<unsigned>(tick_interval));
}

void main_class::key_down(window w, unsigned code, bool repeat) {
    keys[code & 0xFF] = true;
    if (keys[vk_letter('N')] && world) {
        world->free_markers();
        world->free_impacts();
    }
    if (keys[vk_escape]) post_quit(0);
    if (keys[vk_down]) {
        ++tick_interval;
        start_tick_timer(w);
        show_figures(w);
    }
    if (keys[vk_up]) {
        if (tick_interval > 0) --tick_interval;
        start_tick_timer(w);
        show_figures(w);
    }
    if (world) {
        if (keys[vk_letter('T')]) world->show_walls = !world->show_walls;
        if (keys[vk_letter('M')]) world->markers_on = !world->markers_on;
        if (keys[vk_letter('I')]) world->show_impacts = !world->show_impacts;
        if (keys[vk_letter('H')]) world->show_map = !world->show_map;
        if (keys[vk_letter('G')]) world->show_grad = !world->show_grad;
        if (keys[vk_letter('L')]) world->show_names = !world->show_names;
        // S saves once per press: not while other keys go down, nor on its own repeats. The
        // taking back of walls goes likewise, one wall per press.
        if (code == vk_letter('S') && !repeat) world->save_world(options.world.empty() ? "world.txt" : options.world.c_str());
        if (code == vk_letter('Z') && keys[vk_control] && !repeat) {
            if (drawn_walls_.empty())
                log("[Main] Ctrl+Z: no wall drawn to take back\n");
            else
                take_back_wall(drawn_walls_.back());
        }
        if (code == vk_delete && !repeat) {
            wall_type* wall = world->wall_at(world->get_world_x(low_word(pointer_)), world->get_world_y(high_word(pointer_)));
            if (wall)
                take_back_wall(wall);
            else
                log("[Main] Delete: no wall under the pointer\n");
        }
    }
}

void main_class::key_up(unsigned code) {
    keys[code & 0xFF] = false;
}

void main_class::timer_message(window w, unsigned id) {
    if (id == figures_timer_id) {
        run_record().flush();
        if (recording_ && !run_record().is_open()) {
            // The failure itself is in the log; the operator should not go on thinking it records.
            recording_ = false;
            title_ += "(the record failed, see log.txt) ";
        }
        measure_ticks();
        show_figures(w);
        return;
    }
    if (id != tick_timer_id || !world) return;
    if (options.ticks >= 0 && ticks_done >= options.ticks) {
        finish_run();
        destroy_window(w);
        return;
    }
    tick(w);
    // A replay run without windows ends with its record; on screen the last moment stays.
    const bool replayed = replay_ && replay_->finished() && is_headless();
    if (replay_ && replay_->finished() && !replay_ended_) {
        replay_ended_ = true;
        title_ += "(ended) ";
        show_figures(w);
    }
    if ((options.ticks >= 0 && ticks_done >= options.ticks) || replayed) {
        finish_run();
        destroy_window(w);
    }
}

void main_class::tick(window w) {
    advance_sim_clock();
    double t0 = get_wall_time();
    if (!replay_)
        world->update();
    else if (options.fixed_step > 0)
        replay_->play_next(*world);  // back to back, one recorded moment a tick
    else
        replay_->play_until(*world, t0 - replay_start_);  // at the recorded pace
    double t1 = get_wall_time();
    world->draw(memdc);
    double t2 = get_wall_time();
    update_times.add(t1 - t0);
    draw_times.add(t2 - t1);
    tick_times.add(t2 - t0);
    ++ticks_done;
    record_positions();
    record_tick();
    invalidate(w);
}

void main_class::start_record() {
    if (options.record.empty()) return;
    std::string reason;
    // Opening the record empties its file: never the one being played.
    struct stat played, recorded;
    const bool same = replay_ && ::stat(options.replay.c_str(), &played) == 0 &&
                      ::stat(options.record.c_str(), &recorded) == 0 && played.st_dev == recorded.st_dev &&
                      played.st_ino == recorded.st_ino;
    if (same) reason = "it is the record being replayed";
    if (same || !run_record().open(options.record.c_str(), reason)) {
        log("[Record] Unable to record to %s: %s\n", options.record.c_str(), reason.c_str());
        std::fprintf(stderr, "swarm: cannot record to %s: %s\n", options.record.c_str(), reason.c_str());
        return;
    }
    // The world file by its full name, so that the record finds it from anywhere.
    const std::string& file = replay_ && options.world.empty() ? replay_->world_file() : options.world;
    std::string full = file;
    if (!file.empty()) {
        if (char* resolved = ::realpath(file.c_str(), nullptr)) {
            full = resolved;
            std::free(resolved);
        }
    }
    record_start(run_record(), *world, full);
    posed_tick_ = ticks_done;
    recording_ = true;
    title_ += "- recording to " + options.record + " ";
    set_window_title(hwnd, title_.c_str());
}

void main_class::record_tick() {
    if (!run_record().is_open()) return;
    if (ticks_done % options.record_every == 0) {
        record_poses(run_record(), *world);
        posed_tick_ = ticks_done;
    }
    run_record().flush_if_due();
}

void main_class::record_positions() {
    if (options.stats && world) figures.record_positions(*world, get_time());
}

void main_class::measure_ticks() {
    const double now = get_wall_time();
    if (now > figures_time_)
        ticks_per_second_ = std::lround(static_cast<double>(ticks_done - figures_ticks_) / (now - figures_time_));
    figures_ticks_ = ticks_done;
    figures_time_ = now;
}

void main_class::show_figures(window w) {
    char title[320];
    std::snprintf(title, sizeof title, "%s - tick %d ms, %ld ticks/s", title_.c_str(), tick_interval, ticks_per_second_);
    set_window_title(w, title);
}

void main_class::add_drawn_wall(lparam pos) {
    world->add_wall(world->get_world_x(low_word(pos)), world->get_world_y(high_word(pos)), 0, 0);
    drawn_walls_.push_back(world->walls);
}

void main_class::take_back_wall(wall_type* wall) {
    // A wall taken back while it is being dragged ends the drag: the next newest must not grow.
    if (left_drag && wall == world->walls) left_drag = false;
    std::erase(drawn_walls_, wall);
    world->remove_wall(wall);
}

void main_class::mouse_down(lparam pos) {
    left_drag = true;
    pointer_ = pos;
    press_robot_ = -1;
    if (!world) return;
    press_robot_ = world->robot_at(world->get_world_x(low_word(pos)), world->get_world_y(high_word(pos)));
    press_pos_ = pos;
    if (press_robot_ < 0) add_drawn_wall(pos);
}

void main_class::mouse_double(lparam pos) {
    mouse_down(pos);
    if (press_robot_ < 0) return;
    world->choose_robot(static_cast<unsigned>(press_robot_));
    robot_class* r = world->robots[press_robot_];
    if (r->console && r->console->hwnd) show_window(r->console->hwnd, true);
}

void main_class::mouse_up(lparam pos) {
    left_drag = false;
    pointer_ = pos;
    if (world && press_robot_ >= 0) world->choose_robot(static_cast<unsigned>(press_robot_));
    press_robot_ = -1;
}

void main_class::mouse_move(lparam pos) {
    pointer_ = pos;
    if (!world) return;
    double wx = world->get_world_x(low_word(pos));
    double wy = world->get_world_y(high_word(pos));
    // A press on a robot that moves is a drag after all: its wall starts where the press was.
    if (left_drag && press_robot_ >= 0 && pos != press_pos_) {
        press_robot_ = -1;
        add_drawn_wall(press_pos_);
    }
    if (left_drag && press_robot_ < 0) {
        wall_type* wall = world->walls;
        if (!wall) return;
        if (wx < wall->x || wy < wall->y) return;
        world->resize_wall(wall, wx - wall->x, wy - wall->y);
    }
    if (right_drag && !replay_) world->set_target(wx, wy);
}

void main_class::main_menu(window, unsigned id) {
    // File, Exit ends the program as Escape does; the other items do nothing here.
    if (id == id_exit) post_quit(0);
}

void main_class::finish_run() {
    if (finished_) return;
    finished_ = true;
    // The record ends with where every robot was at the end.
    if (run_record().is_open() && world && posed_tick_ != ticks_done) record_poses(run_record(), *world);
    run_record().close();
    if (!options.snapshot.empty()) {
        if (membmp && save_png(membmp, options.snapshot.c_str()))
            std::printf("snapshot: %s\n", options.snapshot.c_str());
        else
            std::fprintf(stderr, "swarm: could not write snapshot %s\n", options.snapshot.c_str());
    }
    if (options.stats) {
        std::printf("ticks: %lld\n", ticks_done);
        figures.print(stdout, world);
        std::printf("tick_us_median: %.1f\n", tick_times.median_us());
        std::printf("tick_us_p99: %.1f\n", tick_times.percentile_us(0.99));
        std::printf("update_us_median: %.1f\n", update_times.median_us());
        std::printf("draw_us_median: %.1f\n", draw_times.median_us());
        if (replay_) {
            std::printf("replayed_rows: %llu\n", static_cast<unsigned long long>(replay_->pose_rows()));
            std::printf("replay_rows_skipped: %llu\n", static_cast<unsigned long long>(replay_->rows_skipped()));
        }
    }
    std::fflush(stdout);
}
