// The one fixture of the tests that need a world: the toolkit started, a private working
// directory, and the setup worlds are made with (a 640 by 480 picture, no world file). Tests
// change `setup` and make their worlds from it, as `world` (make_world) or their own; robots
// they add in `robot` are deleted before the world.
#pragma once

#include "platform/draw.h"
#include "robot/robot.h"
#include "test_support.h"
#include "world/world.h"

namespace test_support {

class world_fixture : public temp_dir_test {
protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        ensure_app();
    }
    void TearDown() override {
        if (membmp) platform::select_bitmap(memdc, nullptr);
        platform::delete_bitmap(membmp);
        platform::delete_dc(memdc);
        delete robot;
        robot = nullptr;
        delete world;
        world = nullptr;
        // Notices queued for windows that are gone must find nothing.
        platform::process_events();
        temp_dir_test::TearDown();
    }
    world_class* make_world() {
        delete robot;
        robot = nullptr;
        delete world;
        world = new world_class(setup);
        return world;
    }

    // A back buffer of the setup's picture size to draw into.
    void make_picture() {
        memdc = platform::create_memory_dc();
        membmp = platform::create_bitmap(setup.picture_width, setup.picture_height);
        platform::select_bitmap(memdc, membmp);
    }

    world_setup setup{640, 480, ""};
    platform::dc* memdc = nullptr;
    platform::bitmap* membmp = nullptr;
    world_class* world = nullptr;
    robot_class* robot = nullptr;  // deleted before the world
};

}  // namespace test_support
