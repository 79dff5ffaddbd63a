// A fixture with the toolkit started, a private working directory, an application object whose
// back buffer is 100 by 100 pixels and a world without robots; tests add their own robots.
#pragma once

#include "app/main_class.h"
#include "robot/robot.h"
#include "test_support.h"
#include "world/world.h"

namespace test_support {

class world_fixture : public temp_dir_test {
protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        ensure_app();
        owner.buffer_width = owner.buffer_height = 100;
        world = new world_class(&owner);
    }
    void TearDown() override {
        delete robot;
        robot = nullptr;
        delete world;
        world = nullptr;
        // Notices queued for windows that are gone must find nothing.
        platform::process_events();
        temp_dir_test::TearDown();
    }

    main_class owner;
    world_class* world = nullptr;
    robot_class* robot = nullptr;  // deleted before the world
};

}  // namespace test_support
