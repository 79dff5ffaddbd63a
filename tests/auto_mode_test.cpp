// Auto mode: the one-second timers, the heading controller, braking and evading, and a small
// swarm finding its targets on its own.
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/draw.h"
#include "robot/robot.h"
#include "support/clock.h"
#include "support/random.h"
#include "test_robot.h"
#include "test_support.h"
#include "world_fixture.h"
#include "world/body_index.h"
#include "world/world.h"

using namespace test_support;

namespace {

class auto_mode_test : public world_fixture {
protected:
    void SetUp() override {
        world_fixture::SetUp();
        set_fixed_step(0.04);
    }
    void TearDown() override {
        set_fixed_step(0);
        world_fixture::TearDown();
    }
    static void advance(int steps) {
        for (int i = 0; i < steps; ++i) advance_sim_clock();
    }
    static void clear_sensors(robot_class& r) {
        for (int i = 0; i < robot_class::sensor_count; ++i) {
            r.sensor_hit[i] = false;
            r.vision[i] = 0;
        }
    }
};

// ---------------------------------------------------------------- timer_func

TEST_F(auto_mode_test, FirstTimerCallClearsAllTimersButIndexTenTouchesNothing) {
    world_class w(setup);
    test_robot r(&w);
    ASSERT_TRUE(r.timers_reset);
    for (int i = 0; i < robot_class::timer_count; ++i) r.timer_start[i] = 100.0 + i;

    EXPECT_EQ(r.timer_func(5.0, 10, 0.0, 1.0), 0.0);
    EXPECT_EQ(r.timer_func(5.0, 4000000000u, 0.0, 1.0), 0.0);
    EXPECT_TRUE(r.timers_reset);
    for (int i = 0; i < robot_class::timer_count; ++i) EXPECT_EQ(r.timer_start[i], 100.0 + i);

    // Below its threshold: nothing starts, but all ten are cleared first.
    EXPECT_EQ(r.timer_func(0.5, 9, 1.0, 3.0), 0.0);
    EXPECT_FALSE(r.timers_reset);
    for (int i = 0; i < robot_class::timer_count; ++i) EXPECT_EQ(r.timer_start[i], 0.0) << i;

    // Only the first call clears.
    r.timer_start[3] = get_time();
    r.timer_value[3] = 0.5;
    EXPECT_EQ(r.timer_func(0.0, 4, 1.0, 1.0), 0.0);
    EXPECT_EQ(r.timer_start[3], get_time());
    advance(5);  // 0.2 s
    EXPECT_NEAR(r.timer_func(0.0, 3, 1.0, 1.0), 0.1, 1e-9);
    // Index 10 still changes nothing once the timers run.
    EXPECT_EQ(r.timer_func(5.0, 10, 0.0, 1.0), 0.0);
    EXPECT_NE(r.timer_start[3], 0.0);
}

TEST_F(auto_mode_test, TimerStartsAtItsThresholdRampsAndStopsAfterASecond) {
    world_class w(setup);
    test_robot r(&w);

    EXPECT_EQ(r.timer_func(1.999, 0, 2.0, 2.0), 0.0);
    EXPECT_EQ(r.timer_start[0], 0.0);
    const double started = get_time();
    EXPECT_EQ(r.timer_func(2.0, 0, 2.0, 2.0), 0.0);  // equal to the threshold starts it
    EXPECT_EQ(r.timer_start[0], started);
    EXPECT_EQ(r.timer_value[0], 2.0);

    // While running the input is not looked at and the value is the one latched at the start.
    advance(5);
    EXPECT_NEAR(r.timer_func(0.0, 0, 2.0, 7.0), 0.4, 1e-9);
    advance(5);
    EXPECT_NEAR(r.timer_func(9.0, 0, 2.0, -7.0), 0.8, 1e-9);
    EXPECT_EQ(r.timer_value[0], 2.0);
    EXPECT_EQ(r.timer_start[0], started);
    advance(14);  // 0.96 s
    EXPECT_NEAR(r.timer_func(0.0, 0, 2.0, 2.0), 1.92, 1e-9);
    advance(2);  // 1.04 s: stops, answering 1.0 once
    EXPECT_EQ(r.timer_func(5.0, 0, 2.0, 2.0), 1.0);
    EXPECT_EQ(r.timer_start[0], 0.0);
    // Idle again: below the threshold it stays idle, at it it starts again.
    advance(1);
    EXPECT_EQ(r.timer_func(1.0, 0, 2.0, 2.0), 0.0);
    EXPECT_EQ(r.timer_start[0], 0.0);
    EXPECT_EQ(r.timer_func(3.0, 0, 2.0, 0.5), 0.0);
    EXPECT_EQ(r.timer_start[0], get_time());
    EXPECT_EQ(r.timer_value[0], 0.5);
    advance(10);
    EXPECT_NEAR(r.timer_func(0.0, 0, 2.0, 2.0), 0.2, 1e-9);
}

TEST_F(auto_mode_test, ExpiryAnswersOneWhateverTheLatchedValueAndTimersAreIndependent) {
    world_class w(setup);
    test_robot r(&w);
    EXPECT_EQ(r.timer_func(1.0, 1, 1.0, -1.5), 0.0);
    advance(5);
    EXPECT_EQ(r.timer_func(1.0, 0, 1.0, 3.0), 0.0);
    advance(10);  // timer 1 at 0.6 s, timer 0 at 0.4 s
    EXPECT_NEAR(r.timer_func(0.0, 1, 1.0, 0.0), -0.9, 1e-9);
    EXPECT_NEAR(r.timer_func(0.0, 0, 1.0, 0.0), 1.2, 1e-9);
    advance(12);  // 1.08 s and 0.88 s
    EXPECT_EQ(r.timer_func(0.0, 1, 1.0, 0.0), 1.0);
    EXPECT_NEAR(r.timer_func(0.0, 0, 1.0, 0.0), 2.64, 1e-9);
    EXPECT_EQ(r.timer_start[1], 0.0);
    EXPECT_NE(r.timer_start[0], 0.0);
}

// ---------------------------------------------------------------- robot_auto_mode

TEST_F(auto_mode_test, SteersByTheAverageOfTheLastTwoHeadingErrors) {
    world_class w(setup);
    test_robot r(&w);
    clear_sensors(r);
    // Right after construction the older entry is 0: the average is half the error.
    r.heading_error = 0.2;
    r.robot_auto_mode();
    EXPECT_EQ(r.speed, 1.0);
    EXPECT_NEAR(r.turn, 0.3, 1e-12);
    r.robot_auto_mode();
    EXPECT_EQ(r.speed, 1.0);
    EXPECT_NEAR(r.turn, 0.6, 1e-12);
    EXPECT_EQ(r.error_history[0], 0.2);
    EXPECT_EQ(r.error_history[1], 0.2);

    // 0.5 twice asks for a turn of 1.5; the command is clamped to 1 but logged as asked.
    r.heading_error = 0.5;
    r.robot_auto_mode();
    EXPECT_EQ(r.turn, 1.0);  // (0.2 + 0.5) / 2 * 3 = 1.05
    r.robot_auto_mode();
    EXPECT_EQ(r.turn, 1.0);
    EXPECT_EQ(r.speed, 1.0);
    EXPECT_NE(log_text().find("[Robot] motion  1.0   1.5\n"), std::string::npos);

    r.heading_error = -0.5;
    r.robot_auto_mode();
    EXPECT_NEAR(r.turn, 0.0, 1e-12);
    r.robot_auto_mode();
    EXPECT_EQ(r.turn, -1.0);
    EXPECT_EQ(r.error_history[0], -0.5);
}

TEST_F(auto_mode_test, SideRaysSlowAndSteerAwayButNeverBrake) {
    world_class w(setup);
    test_robot r(&w);
    clear_sensors(r);
    r.heading_error = 0;
    // A wall seen ahead to the right slows the robot and turns it left.
    r.vision[0] = 0.5;
    r.robot_auto_mode();
    EXPECT_NEAR(r.speed, 0.85, 1e-12);
    EXPECT_NEAR(r.turn, 0.5, 1e-12);
    // Ahead to the left: right turn, no slowing.
    r.vision[0] = 0;
    r.vision[2] = 0.5;
    r.robot_auto_mode();
    EXPECT_EQ(r.speed, 1.0);
    EXPECT_NEAR(r.turn, -0.5, 1e-12);
    // The rear sensors and rays are not used.
    clear_sensors(r);
    for (int i = 3; i < 6; ++i) {
        r.sensor_hit[i] = true;
        r.vision[i] = 2.0;
    }
    r.robot_auto_mode();
    EXPECT_EQ(r.speed, 1.0);
    EXPECT_EQ(r.turn, 0.0);

    // All three front rays at full nearness reach a threat of 1.6 only: no braking, ever, and
    // the rear sensors add nothing.
    clear_sensors(r);
    r.vision[0] = r.vision[1] = r.vision[2] = 2.0;
    for (int i = 3; i < 6; ++i) {
        r.sensor_hit[i] = true;
        r.vision[i] = 2.0;
    }
    for (int i = 0; i < 60; ++i) {
        r.robot_auto_mode();
        ASSERT_EQ(r.timer_start[0], 0.0) << i;
        EXPECT_NEAR(r.speed, 0.4, 1e-12);
        EXPECT_NEAR(r.turn, 0.0, 1e-12);
        advance(1);
    }
    // The side proximity sensors on top of that do (0.8 + 1.6).
    r.sensor_hit[0] = r.sensor_hit[2] = true;
    r.robot_auto_mode();
    EXPECT_EQ(r.timer_start[0], get_time());
    // They alone do not (0.8).
    test_robot r2(&w);
    clear_sensors(r2);
    r2.heading_error = 0;
    r2.sensor_hit[0] = r2.sensor_hit[2] = true;
    r2.robot_auto_mode();
    EXPECT_EQ(r2.timer_start[0], 0.0);
    EXPECT_EQ(r2.speed, 1.0);
}

TEST_F(auto_mode_test, ThreatWeighsSensorsAndRaysAgainstTheTriggerLevel) {
    world_class w(setup);
    // Both side sensors count 0.4 each, the rays 0.2 (right), 0.4 (front) and 0.2 (left).
    auto brakes = [&](double near_r, double near_f, double near_l, bool side_hits) {
        test_robot r(&w);
        clear_sensors(r);
        r.heading_error = 0;
        r.sensor_hit[0] = r.sensor_hit[2] = side_hits;
        r.vision[0] = near_r;
        r.vision[1] = near_f;
        r.vision[2] = near_l;
        r.robot_auto_mode();
        return r.timer_start[0] != 0.0;
    };
    EXPECT_TRUE(brakes(1.1, 2.0, 1.1, true));    // 0.8 + 0.22 + 0.8 + 0.22 = 2.04
    EXPECT_FALSE(brakes(0.9, 2.0, 0.9, true));   // 1.96
    EXPECT_TRUE(brakes(2.0, 1.1, 2.0, true));    // 0.8 + 0.4 + 0.44 + 0.4 = 2.04
    EXPECT_FALSE(brakes(2.0, 0.9, 2.0, true));   // 1.96
    EXPECT_TRUE(brakes(2.0, 2.0, 0.2, true));    // 0.8 + 0.4 + 0.8 + 0.04 = 2.04
    EXPECT_FALSE(brakes(2.0, 2.0, 0.0, false));  // 1.2
    EXPECT_FALSE(brakes(0, 0, 0, false));
}

TEST_F(auto_mode_test, FrontSensorStartsBraking) {
    set_fixed_step(0.05);
    world_class w(setup);
    test_robot r(&w);
    clear_sensors(r);
    r.heading_error = 0;
    r.sensor_hit[1] = true;
    r.vision[0] = 0.5;
    r.robot_auto_mode();
    EXPECT_EQ(r.timer_start[0], get_time());
    EXPECT_EQ(r.timer_value[0], 2.0);
    EXPECT_NEAR(r.speed, 0.85, 1e-12);  // the brake timer answers 0 as it starts

    advance(5);  // 0.25 s: the brake is at 0.5, speed 0.45 - 0.3 * near_r
    r.robot_auto_mode();
    EXPECT_NEAR(r.speed, 0.45 - 0.3 * 0.5, 1e-9);
    EXPECT_EQ(r.timer_start[1], 0.0);
    r.vision[0] = 1.6;  // 0.45 - 0.48 is below 0
    r.robot_auto_mode();
    EXPECT_EQ(r.speed, 0.0);
    // Clearing the sensor does not release the brake.
    clear_sensors(r);
    advance(2);  // 0.35 s: 1 - 0.77
    r.robot_auto_mode();
    EXPECT_NEAR(r.speed, 0.23, 1e-9);
}

TEST_F(auto_mode_test, EvasiveTurnLatchesOneRandomNumberForItsSecond) {
    // Ticks of 0.03 s (no tick lands on a timer's exact second) with the front sensor hit
    // throughout:
    //   tick 0: the brake starts; tick 16: brake at 0.96; tick 17: 1.02, so the evade timer
    //   starts and latches that tick's random number; tick 34: the brake expires (1.0, speed
    //   0); tick 35: it starts again; tick 51: the evade timer expires (turn -2, clamped);
    //   tick 52: the brake is at 1.02 again and a new evade starts with tick 52's number.
    set_fixed_step(0.03);
    const unsigned seed = 5150;
    const int ticks = 56;
    srand15(seed);
    std::vector<double> draws;
    for (int k = 0; k <= ticks; ++k) draws.push_back(f_rand(-2, 2));

    world_class w(setup);
    test_robot r(&w);
    clear_sensors(r);
    r.heading_error = 0;
    r.sensor_hit[1] = true;
    srand15(seed);
    double evade_start = 0;
    for (int k = 0; k < ticks; ++k) {
        if (k > 0) advance(1);
        r.robot_auto_mode();
        SCOPED_TRACE("tick " + std::to_string(k));
        if (k <= 16) {
            EXPECT_EQ(r.timer_start[1], 0.0);
            EXPECT_EQ(r.turn, 0.0);
            EXPECT_NEAR(r.speed, std::max(0.0, 1 - 1.1 * 0.06 * k), 1e-9);
        } else if (k == 17) {
            evade_start = get_time();
            EXPECT_EQ(r.timer_start[1], evade_start);
            EXPECT_EQ(r.timer_value[1], draws[17]);
            EXPECT_EQ(r.turn, 0.0);
        } else if (k < 51) {
            EXPECT_EQ(r.timer_start[1], evade_start);
            EXPECT_EQ(r.timer_value[1], draws[17]);
            const double e = (k - 17) * 0.03;
            EXPECT_NEAR(r.turn, std::clamp(-2 * e * draws[17], -1.0, 1.0), 1e-9);
        } else if (k == 51) {
            EXPECT_EQ(r.timer_start[1], 0.0);
            EXPECT_EQ(r.turn, -1.0);
            EXPECT_EQ(r.speed, 0.0);
        } else if (k == 52) {
            EXPECT_EQ(r.timer_start[1], get_time());
            EXPECT_EQ(r.timer_value[1], draws[52]);
            EXPECT_EQ(r.turn, 0.0);
        }
        if (k == 34) {
            EXPECT_EQ(r.timer_start[0], 0.0);
            EXPECT_EQ(r.speed, 0.0);
        }
        if (k == 35) {
            EXPECT_EQ(r.timer_start[0], get_time());
            EXPECT_EQ(r.speed, 1.0);
        }
    }
    // One number was drawn on every tick.
    EXPECT_EQ(f_rand(-2, 2), draws[ticks]);
    // The expiring evade timer's full turn shows in the log before clamping.
    EXPECT_NE(log_text().find("[Robot] motion  0.0  -2.0\n"), std::string::npos);
    // The test only means something if the number kept differs from the ones drawn later.
    EXPECT_NE(draws[17], draws[30]);
    EXPECT_NE(draws[17], draws[52]);
}

// ---------------------------------------------------------------- robots that are held

// The path is one waypoint that stays put, wherever the robot plans; the grid is level.
point fixed_waypoint;
void plan_fixed_waypoint(robot_class& r) {
    level_grid(r);
    only_waypoint(r, fixed_waypoint.x, fixed_waypoint.y);
}

// Drives a robot in auto mode from a pose towards the fixed waypoint on a 0.01 s step; how far
// it got from where it started, at most.
double farthest_run(robot_class& r, double x, double y, double heading, point waypoint, int ticks) {
    set_fixed_step(0.01);
    fixed_waypoint = waypoint;
    robot_class::plan_override = plan_fixed_waypoint;
    r.x = x;
    r.y = y;
    r.heading = heading;
    r.auto_mode = true;
    r.last_update = get_time();
    plan_fixed_waypoint(r);
    double farthest = 0;
    for (int tick = 0; tick < ticks; ++tick) {
        advance_sim_clock();
        r.update();
        farthest = std::max(farthest, std::hypot(r.x - x, r.y - y));
    }
    robot_class::plan_override = nullptr;
    return farthest;
}

TEST_F(auto_mode_test, RobotGrazingACornerOrFacingIntoOneIsNotHeld) {
    world_class w(setup);
    test_robot r(&w);
    // The pose and wall of a robot seen held for good: the corner lies 78 degrees off its
    // heading, out of sight of the front sensor and rays, and every step brought it 0.004
    // closer, so the probe cancelled it while the steering settled at zero turn.
    w.add_wall(7.7, 2.22, 1.6, 0.08);
    const double h = -2.737;
    EXPECT_GT(farthest_run(r, 7.678, 2.014, h, point{7.678 + 2 * std::cos(h), 2.014 - 2 * std::sin(h)}, 200), 0.3);

}

TEST_F(auto_mode_test, PathRoundTheEndOfAThinBarKeepsTheRobotClearOfIt) {
    // Robots were held for good at the end of a bar with the target just behind it: the path
    // grazed the bar's end, and once the robot was near enough, the next waypoints lay behind
    // the bar, so the gradient pulled it into the bar while the front sensor kept it braking.
    set_fixed_step(0.01);
    write_file("robots.txt", "a 127.0.0.1 5000 0 1\n");
    srand15(5);
    world_class w(setup);
    w.add_wall(7.96, 6, 0.08, 2.55);
    w.add_wall(8, 7.96, 0.55, 0.08);
    robot_class& r = *w.robots[0];
    r.x = 8.29;
    r.y = 8.35;
    r.heading = M_PI;
    w.set_target(7.526, 8.482);
    for (int tick = 0; tick < 2000 && w.targets_reached == 0; ++tick) {
        advance_sim_clock();
        w.update();
    }
    EXPECT_EQ(w.targets_reached, 1u) << r.x << " " << r.y;
}

TEST_F(auto_mode_test, ProbeHoldingARobotForASecondCountsAsAWallAheadOnce) {
    set_fixed_step(0.01);
    world_class w(setup);
    test_robot r(&w);
    // Straight into a wall: nothing of a step is left to slide with.
    w.add_wall(6.02, 4, 0.5, 2);
    r.x = 5.77;
    r.y = 5;
    r.heading = 0;
    r.last_update = get_time();
    r.motion(1, 0);
    for (int tick = 0; tick < 99; ++tick) {
        advance_sim_clock();
        r.update();
    }
    EXPECT_FALSE(r.probe_held);  // 0.98 s
    for (int tick = 0; tick < 5; ++tick) {
        advance_sim_clock();
        r.update();
    }
    EXPECT_TRUE(r.probe_held);
    // Auto mode with nothing in sight takes it as a wall ahead: the brake starts, once.
    clear_sensors(r);
    r.robot_auto_mode();
    EXPECT_GT(r.timer_start[0], 0.0);
    EXPECT_FALSE(r.probe_held);
}

TEST_F(auto_mode_test, RobotShutInARoomIsHeldMarkedAndLoggedOnce) {
    set_fixed_step(0.01);
    make_picture();
    write_file("robots.txt", "boxed 127.0.0.1 5000 0 1\nfree 127.0.0.1 5002 0 1\n");
    world_class w(setup);
    // A room 0.6 wide round the first robot: no way out, and no room to move 0.1.
    w.add_wall(2.65, 2.65, 0.7, 0.05);
    w.add_wall(2.65, 3.3, 0.7, 0.05);
    w.add_wall(2.65, 2.65, 0.05, 0.7);
    w.add_wall(3.3, 2.65, 0.05, 0.7);
    robot_class& boxed = *w.robots[0];
    boxed.x = boxed.y = 3;
    w.robots[1]->x = w.robots[1]->y = 7;
    for (int tick = 0; tick < 1200; ++tick) {
        advance_sim_clock();
        w.update();
    }
    EXPECT_TRUE(boxed.held());
    EXPECT_FALSE(w.robots[1]->held());
    EXPECT_NEAR(w.held_max_s, 12, 0.05);
    // One line when it had been held 5 s, not one a tick.
    EXPECT_EQ(count_of(log_text(), "[Robot] boxed: held at ("), 1);
    EXPECT_EQ(count_of(log_text(), "[Robot] free: held"), 0);
    // Marked with a magenta ring on the map, the free robot not.
    w.draw(memdc);
    auto magenta_near = [&](const robot_class& r) {
        int n = 0;
        for (int y = w.get_screen_y(r.y - 0.5); y < w.get_screen_y(r.y + 0.5); ++y)
            for (int x = w.get_screen_x(r.x - 0.5); x < w.get_screen_x(r.x + 0.5); ++x)
                n += platform::get_pixel(membmp, x, y) == platform::rgb(255, 0, 255);
        return n;
    };
    EXPECT_GT(magenta_near(boxed), 20);
    EXPECT_EQ(magenta_near(*w.robots[1]), 0);
}

// ---------------------------------------------------------------- bodies

TEST_F(auto_mode_test, AnotherBodyIsSeenAndNeverEnteredButIsNoImpact) {
    set_fixed_step(0.01);
    write_file("robots.txt", "a 127.0.0.1 5000 0 0\nb 127.0.0.1 5002 0 0\n");
    setup.bodies = true;
    world_class w(setup);
    w.set_target(1, 9);
    robot_class& a = *w.robots[0];
    const robot_class& b = *w.robots[1];
    a.x = a.y = 5;
    a.heading = 0;
    w.robots[1]->x = 5.6;  // 0.1 ahead of a's body, far from every wall
    w.robots[1]->y = 5;
    const auto version = w.impact_version();
    const int impacts = w.impact_count;  // seen from where the robots started
    a.motion(1, 0);
    for (int tick = 0; tick < 100; ++tick) {
        advance_sim_clock();
        w.update();
    }
    // It drove up to the other body and no further, saw it with the front sensor and ray ...
    EXPECT_NEAR(a.x, 5.1, 1e-6);
    EXPECT_GE(std::hypot(a.x - b.x, a.y - b.y), 0.5 - 1e-9);
    EXPECT_LE(w.bodies_overlap_max, 1e-9);
    EXPECT_TRUE(a.sensor_hit[1]);
    EXPECT_TRUE(a.vision_seen[1]);
    EXPECT_NEAR(a.vision[1], 2.0 - 0.25, 1e-6);
    // ... and planning never heard of it.
    EXPECT_EQ(w.impact_count, impacts);
    EXPECT_EQ(w.impact_version(), version);
}

// Bodies round a robot at odd bearings: each ray sees the one on it, at the distance to its rim,
// and none sees the one passing just clear of a ray's line.
TEST_F(auto_mode_test, EveryRaySeesTheBodyOnItAndOnlyThat) {
    set_fixed_step(0.01);
    write_file("robots.txt", "a 127.0.0.1 5000 0 0\nb 127.0.0.1 5002 0 0\nc 127.0.0.1 5004 0 0\nd 127.0.0.1 5006 0 0\n");
    setup.bodies = true;
    world_class w(setup);
    robot_class& a = *w.robots[0];
    a.x = a.y = 5;
    a.heading = 0.3;
    const double r = 0.5 * w.robots[1]->diameter;
    auto put = [&](int robot, int ray, double along, double off) {
        const double pi = 3.14159265358979323846;  // as the robot has it
        const double angle = a.heading - pi / 3 + ray * pi / 3;
        w.robots[robot]->x = a.x + along * std::cos(angle) + off * std::sin(angle);
        w.robots[robot]->y = a.y - along * std::sin(angle) + off * std::cos(angle);
    };
    put(1, 2, 1.0, 0);          // ahead and to the left
    put(2, 4, 0.8, 0);          // behind and to the right
    put(3, 0, 1.2, r + 0.02);   // just clear of ray 0, and so of ray 3 opposite
    advance_sim_clock();
    w.update();
    for (int i = 0; i < robot_class::sensor_count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a.vision_seen[i], i == 2 || i == 4);
        if (i == 2 || i == 4) {
            EXPECT_NEAR(2.0 - a.vision[i], (i == 2 ? 1.0 : 0.8) - r, 1e-9);
        }
    }
}

TEST_F(auto_mode_test, OverlapFigureIsTheDeepestOfEveryPair) {
    // Bodies crowd and drift, a few of them wide; some are left out for a while, some are not
    // at a number. Few bodies spread out make the deepest overlap one of centres far apart.
    for (const auto& [n, spread] : {std::pair{70, 2.0}, std::pair{8, 1.5}}) {
        body_index grid(10, 10);
        std::mt19937 gen(n);
        std::uniform_real_distribution<double> u(0, 1);
        std::vector<double> x(n), y(n), r(n);
        std::vector<char> placed(n);
        for (int i = 0; i < n; ++i) {
            x[i] = i < 40 ? 5 + spread * u(gen) : 10 * u(gen);
            y[i] = i < 40 ? 5 + spread * u(gen) : 10 * u(gen);
            r[i] = i % 9 == 0 ? 0 : i % 4 == 1 ? 0.3 + 0.2 * u(gen) : 0.02 + 0.1 * u(gen);
        }
        x[7] = std::nan("");
        if (n > 8) y[8] = INFINITY;
        int deep = 0;
        for (int round = 0; round < 300; ++round) {
            if (round % 50 == 0) {
                grid.clear();
                std::fill(placed.begin(), placed.end(), 0);
            }
            for (int i = 0; i < n; ++i) {
                if ((i + round) % 11 == 0 && round % 50 < 25) continue;
                x[i] += 0.05 * (u(gen) - 0.5);
                y[i] += 0.05 * (u(gen) - 0.5);
                grid.place(i, x[i], y[i], r[i]);
                placed[i] = 1;
            }
            double expect = 0;
            for (int i = 0; i < n; ++i)
                for (int j = i + 1; j < n; ++j) {
                    const double dx = x[i] - x[j], dy = y[i] - y[j], touch = r[i] + r[j];
                    if (placed[i] && placed[j] && dx * dx + dy * dy < touch * touch)
                        expect = std::max(expect, touch - std::sqrt(dx * dx + dy * dy));
                }
            ASSERT_EQ(grid.overlap_max(), expect) << n << " " << round;
            deep += expect > 0.02;
            // What a body sees within sight (and a point by the corner, where places not taken
            // lie at zero): every other placed one whose disc comes that close.
            for (const int self : {round % n, n}) {
                const double qx = self == n ? 0.5 : x[self], qy = self == n ? 0.5 : y[self];
                std::vector<body_index::body> seen;
                grid.gather(self, qx, qy, 2.0, seen);
                std::vector<int> got, want;
                for (const body_index::body& b : seen) got.push_back(b.id);
                for (int i = 0; i < n; ++i) {
                    const double dx = qx - x[i], dy = qy - y[i], within = 2.0 + r[i];
                    if (placed[i] && i != self && dx * dx + dy * dy < within * within) want.push_back(i);
                }
                std::sort(got.begin(), got.end());
                ASSERT_EQ(got, want) << n << " " << round;
            }
        }
        EXPECT_GT(deep, 100) << n;
    }
}

TEST_F(auto_mode_test, CrowdConvergingOnOnePointNeverOverlaps) {
    set_fixed_step(0.01);
    std::string list;
    for (int i = 0; i < 24; ++i) list += "r" + std::to_string(i) + " 127.0.0.1 " + std::to_string(5000 + 2 * i) + " 0 1\n";
    write_file("robots.txt", list);
    srand15(12);
    setup.bodies = true;
    world_class w(setup);
    ASSERT_EQ(w.num_robots, 24u);
    // Drawn apart at the start ...
    EXPECT_EQ(w.body_grid().overlap_max(), 0.0);
    // ... and then put on a ring round the target, all heading for it.
    for (unsigned i = 0; i < 24; ++i) {
        w.robots[i]->x = 5 + 3 * std::cos(i * 2 * M_PI / 24);
        w.robots[i]->y = 5 + 3 * std::sin(i * 2 * M_PI / 24);
    }
    w.set_target(5, 5);
    for (int tick = 0; tick < 1500; ++tick) {
        advance_sim_clock();
        w.update();
        ASSERT_LE(w.bodies_overlap_max, 1e-9) << tick;
    }
    EXPECT_GE(w.targets_reached, 1u);
}

// Each robot steers for a goal of its own beyond the other: east's lies east, west's west.
void plan_own_goal(robot_class& r) {
    level_grid(r);
    only_waypoint(r, r.name[0] == 'e' ? 9 : 1, 5);
}

TEST_F(auto_mode_test, RobotsMeetingHeadOnInACorridorDoNotLock) {
    set_fixed_step(0.01);
    write_file("robots.txt", "east 127.0.0.1 5000 0 1\nwest 127.0.0.1 5002 0 1\n");
    srand15(3);
    setup.bodies = true;
    world_class w(setup);
    w.set_target(9.5, 9.5);
    // A corridor 0.8 wide from x 4 to 6: inside it two bodies cannot pass each other.
    w.add_wall(4, 4.55, 2, 0.05);
    w.add_wall(4, 5.4, 2, 0.05);
    robot_class& east = *w.robots[0];
    robot_class& west = *w.robots[1];
    east.x = 3;
    west.x = 7;
    east.y = west.y = 5;
    east.heading = 0;
    west.heading = M_PI;
    robot_class::plan_override = plan_own_goal;
    for (robot_class* r : {&east, &west}) plan_own_goal(*r);
    for (int tick = 0; tick < 4000 && !(east.x > 7 && west.x < 3); ++tick) {
        advance_sim_clock();
        w.update();
    }
    robot_class::plan_override = nullptr;
    // One gave way (east, the farther from the target) and both came through.
    EXPECT_GT(east.x, 7);
    EXPECT_LT(west.x, 3);
    EXPECT_LE(w.bodies_overlap_max, 1e-9);
}

// ---------------------------------------------------------------- a swarm on its own

// Impacts all round a point, close enough that no path passes between them.
void ring_of_impacts(world_class& w, double cx, double cy) {
    for (int i = 0; i < 30; ++i) w.add_impact(cx + 0.5 * std::cos(i * 2 * M_PI / 30), cy + 0.5 * std::sin(i * 2 * M_PI / 30));
}

TEST_F(auto_mode_test, WalledOffTargetMovesOnceATickAndAShutInRobotFloodsNothing) {
    write_file("robots.txt", "a 127.0.0.1 5000 0 0\nb 127.0.0.1 5002 0 0\nc 127.0.0.1 5004 0 0\n");
    set_fixed_step(0.01);
    srand15(31);
    world_class w(setup);
    ASSERT_EQ(w.num_robots, 3u);
    for (unsigned i = 0; i < 3; ++i) w.robots[i]->x = w.robots[i]->y = 2.0 + 2.5 * i;  // 2, 4.5, 7

    // One robot shut in: the others reach the target, which stays put however long it runs, and
    // the shut-in robot keeps no path and says so once a second.
    ring_of_impacts(w, 2.0, 2.0);
    w.set_target(6, 3);
    const auto changes = w.target_changes;
    for (int tick = 0; tick < 350; ++tick) {
        advance_sim_clock();
        w.update();
    }
    EXPECT_EQ(w.target_changes, changes);
    EXPECT_EQ(w.robots[0]->waypoint_count, 0);
    EXPECT_TRUE(w.robots[0]->walk_failed);
    EXPECT_GT(w.robots[1]->waypoint_count, 0);
    const int lines = count_of(log_text(), "[Robot] a: no path to the target\n");
    EXPECT_GE(lines, 3);
    EXPECT_LE(lines, 5);  // 3.5 s of re-planning on every tick
    EXPECT_EQ(count_of(log_text(), "[Robot] b: no path"), 0);

    // The target walled off from everybody: the next tick picks a new one.
    ring_of_impacts(w, 6.0, 3.0);
    ASSERT_TRUE(w.target_unreachable());
    advance_sim_clock();
    w.update();
    EXPECT_EQ(w.target_changes, changes + 1);
    EXPECT_NE(w.target_x, 6.0);
    EXPECT_FALSE(w.target_unreachable());

    // Every robot shut in: one new target a tick, never more.
    ring_of_impacts(w, 4.5, 4.5);
    ring_of_impacts(w, 7.0, 7.0);
    const auto before = w.target_changes;
    for (int tick = 0; tick < 20; ++tick) {
        advance_sim_clock();
        w.update();
    }
    EXPECT_EQ(w.target_changes, before + 20);
}

TEST_F(auto_mode_test, ThreeRobotsReachTargetsAndStayInsideTheWorld) {
    write_file("robots.txt",
               "a 127.0.0.1 5000 0 1\n"
               "b 127.0.0.1 5002 0 1\n"
               "c 127.0.0.1 5004 0 1\n");
    set_fixed_step(0.01);
    srand15(2718);
    world_class w(setup);
    ASSERT_EQ(w.num_robots, 3u);
    for (unsigned i = 0; i < 3; ++i) ASSERT_TRUE(w.robots[i]->auto_mode);
    double low = 10, high = 0;
    for (int tick = 0; tick < 12000; ++tick) {
        advance_sim_clock();
        w.update();
        for (unsigned i = 0; i < 3; ++i) {
            const robot_class* r = w.robots[i];
            low = std::min({low, r->x, r->y});
            high = std::max({high, r->x, r->y});
        }
    }
    EXPECT_GE(w.targets_reached, 3u);
    EXPECT_GE(low, 0.25);
    EXPECT_LE(high, 9.75);
    // They did drive about.
    EXPECT_GT(w.impact_count, 0);
}

}  // namespace
