// The scene drawn into an off-screen surface and read back pixel by pixel.
#include <cmath>
#include <random>
#include <vector>

#include "platform/draw.h"
#include "test_support.h"
#include "world_fixture.h"
#include "world/world.h"

using namespace test_support;
using namespace platform;

namespace {

const color white = rgb(255, 255, 255);
const color azure = rgb(0, 128, 200);
const color green = rgb(0, 255, 0);
const color black = rgb(0, 0, 0);
const color blue = rgb(0, 0, 255);
const color red = rgb(255, 0, 0);

class render_test : public world_fixture {
protected:
    void SetUp() override {
        world_fixture::SetUp();
        setup.picture_width = 400;
        setup.picture_height = 400;
        make_picture();
        make_world();
    }
    color px(int x, int y) { return get_pixel(membmp, x, y); }
    void draw() { world->draw(memdc); }
    // Pixels of a colour inside a box.
    int count(color c, int l, int t, int r, int b) {
        int n = 0;
        for (int y = t; y < b; ++y)
            for (int x = l; x < r; ++x) n += px(x, y) == c;
        return n;
    }
    int drawn(int l, int t, int r, int b) { return (r - l) * (b - t) - count(white, l, t, r, b); }
};

TEST_F(render_test, DefaultSceneHasWhiteGroundAzureBordersAndGreenTarget) {
    draw();
    EXPECT_EQ(px(100, 100), white);
    EXPECT_EQ(px(300, 250), white);
    // Border walls 0.05 units = 2 pixels thick on each edge.
    EXPECT_EQ(px(0, 200), azure);
    EXPECT_EQ(px(1, 200), azure);
    EXPECT_EQ(px(2, 200), white);
    EXPECT_EQ(px(399, 200), azure);
    EXPECT_EQ(px(200, 0), azure);
    EXPECT_EQ(px(200, 399), azure);
    // Target: 0.15 units across at (5, 5) = pixels 197..202; azure outline, green inside.
    EXPECT_EQ(px(200, 200), green);
    EXPECT_EQ(px(197, 200), azure);
    EXPECT_EQ(px(196, 200), white);
    EXPECT_EQ(count(black, 0, 0, 400, 400), 0);
}

TEST_F(render_test, TheChosenRobotLeadsGridAndGradientAndIsMarkedAndNamesShowBeside) {
    write_file("robots.txt", "a 127.0.0.1 1 0 0\nb 127.0.0.1 3 0 0\n");
    make_world();
    ASSERT_EQ(world->num_robots, 2u);
    world->robots[0]->x = world->robots[0]->y = 2;
    world->robots[1]->x = world->robots[1]->y = 8;
    world->set_target(5, 5);  // both plan afresh from where they now stand
    auto picture = [&] {
        draw();
        std::vector<color> all;
        for (int y = 0; y < 400; ++y)
            for (int x = 0; x < 400; ++x) all.push_back(px(x, y));
        return all;
    };
    // b's path runs through (6.5, 6.5); a's does not.
    world->show_map = true;
    draw();
    const int red_first = count(red, 240, 240, 280, 280);
    world->chosen = 1;
    draw();
    EXPECT_GT(count(red, 240, 240, 280, 280), red_first + 100);
    world->show_map = false;
    world->show_grad = true;
    world->chosen = 0;
    const std::vector<color> field_first = picture();
    world->chosen = 1;
    EXPECT_NE(picture(), field_first);
    world->show_grad = false;

    // Only a robot chosen by the operator wears the orange ring.
    const color orange = rgb(255, 140, 0);
    draw();
    EXPECT_EQ(count(orange, 0, 0, 400, 400), 0);
    world->choose_robot(1);
    draw();
    EXPECT_GT(count(orange, 300, 300, 340, 340), 20);
    EXPECT_EQ(count(orange, 0, 0, 300, 300), 0);

    // Names right of the bodies, the newest robot's included.
    const int ink_before = drawn(332, 310, 400, 330);
    world->show_names = true;
    draw();
    EXPECT_GT(drawn(332, 310, 400, 330), ink_before + 10);
    EXPECT_GT(drawn(92, 70, 130, 90), 10);
}

TEST_F(render_test, HiddenWallsLeaveTheTargetOutlinedInBlack) {
    world->show_walls = false;
    draw();
    EXPECT_EQ(px(0, 200), white);
    EXPECT_EQ(px(200, 0), white);
    EXPECT_EQ(px(200, 200), green);
    EXPECT_EQ(px(197, 200), black);
    EXPECT_EQ(count(azure, 0, 0, 400, 400), 0);
}

TEST_F(render_test, UserWallsShareTheWallColourAndKeepRightBottomExclusive) {
    world->add_wall(1.0, 1.0, 1.0, 0.5);  // pixels 40..79 by 40..59
    draw();
    EXPECT_EQ(px(40, 40), azure);
    EXPECT_EQ(px(79, 59), azure);
    EXPECT_EQ(px(60, 50), azure);
    EXPECT_EQ(px(80, 50), white);
    EXPECT_EQ(px(60, 60), white);
    EXPECT_EQ(px(39, 50), white);
    world->add_wall(3.0, 3.0, 0.0, 0.0);  // a click without a drag shows nothing
    world->add_wall(4.0, 4.0, 0.025, 0.5);  // one pixel wide: column 160, rows 160..179
    draw();
    EXPECT_EQ(px(120, 120), white);
    EXPECT_EQ(count(azure, 159, 150, 162, 190), 20);
    EXPECT_EQ(px(160, 179), azure);
}

TEST_F(render_test, ManyWallsDrawnFromTheirLayerLookAsDrawnOneByOne) {
    // Enough walls to be drawn from a layer kept between ticks; each pixel must be what the
    // walls drawn one by one make of it, after walls are added and resized too.
    std::mt19937 g(9);
    std::uniform_real_distribution<double> at(0.0, 9.8), side(-0.3, 0.3);
    for (int i = 0; i < world_class::walls_layer_from; ++i) world->add_wall(at(g), at(g), side(g), side(g));
    bitmap* ref = create_bitmap(400, 400);
    dc* ref_dc = create_memory_dc();
    select_bitmap(ref_dc, ref);
    for (int round = 0; round < 3; ++round) {
        if (round == 1) world->add_wall(2.0, 2.0, 1.0, 0.0);
        if (round == 2) world->resize_wall(world->walls, 3.0, 2.0);
        world->target_x = world->target_y = -5;  // out of the picture
        draw();
        select_pen(ref_dc, make_pen(white));
        select_brush(ref_dc, make_brush(white));
        rectangle(ref_dc, 0, 0, 400, 400);
        select_pen(ref_dc, make_pen(azure));
        select_brush(ref_dc, make_brush(azure));
        for (const wall_type* w = world->walls; w; w = w->next)
            rectangle(ref_dc, world->get_screen_x(w->x), world->get_screen_y(w->y), world->get_screen_x(w->x + w->w),
                      world->get_screen_y(w->y + w->h));
        int differing = 0;
        for (int y = 0; y < 400; ++y)
            for (int x = 0; x < 400; ++x) differing += px(x, y) != get_pixel(ref, x, y);
        EXPECT_EQ(differing, 0) << round;
        EXPECT_EQ(current_pen(memdc).c, azure);  // the target's outline takes it over
    }
    EXPECT_GT(count(azure, 0, 0, 400, 400), 20000);
    select_bitmap(ref_dc, nullptr);
    delete_dc(ref_dc);
    delete_bitmap(ref);
}

// A layer laid over a picture again after more was drawn on it shows that too; a picture
// narrower than the layer takes what fits, up to its right edge.
TEST_F(render_test, LayerDrawnOnAgainOverlaysAnew) {
    bitmap* layer = create_layer(420, 400);
    dc* layer_dc = create_memory_dc();
    auto paint = [&](int l, int t, int r, int b) {
        select_bitmap(layer_dc, layer);
        select_pen(layer_dc, make_pen(red));
        select_brush(layer_dc, make_brush(red));
        rectangle(layer_dc, l, t, r, b);
        select_bitmap(layer_dc, nullptr);
    };
    auto clear = [&] {
        select_pen(memdc, make_pen(white));
        select_brush(memdc, make_brush(white));
        rectangle(memdc, 0, 0, 400, 400);
    };
    paint(10, 10, 20, 20);
    for (int round = 0; round < 2; ++round) {
        clear();
        overlay(memdc, layer);
        EXPECT_EQ(count(red, 0, 0, 400, 400), 100);
    }
    paint(390, 30, 420, 40);
    clear();
    overlay(memdc, layer);
    EXPECT_EQ(count(red, 0, 0, 400, 400), 200);
    EXPECT_EQ(px(399, 35), red);
    EXPECT_EQ(px(389, 35), white);
    delete_dc(layer_dc);
    delete_bitmap(layer);
}

TEST_F(render_test, MarkersShowOnlyWhileOnAndAtMost500) {
    world->markers_on = true;
    // 100 old markers along y = 2, then 500 newer ones along y = 7, each 0.1 across (4 pixels)
    // with a black outline around a blue middle.
    for (int i = 0; i < 100; ++i) world->add_marker(1.0 + 0.08 * i, 2.0);
    for (int i = 0; i < 500; ++i) world->add_marker(1.0 + 0.016 * i, 7.0);
    draw();
    EXPECT_EQ(drawn(20, 60, 380, 100), 0);
    EXPECT_GT(drawn(20, 270, 380, 290), 4 * 300);
    EXPECT_GT(count(blue, 20, 270, 380, 290), 0);
    world->markers_on = false;
    draw();
    EXPECT_EQ(drawn(20, 270, 380, 290), 0);
    world->markers_on = true;  // still there, shown again
    draw();
    EXPECT_GT(drawn(20, 270, 380, 290), 4 * 300);
}

TEST_F(render_test, ImpactsAreRedCirclesWithBlackOutlineWhenShown) {
    world->add_impact(2.0, 2.0);  // 0.2 across: pixels 76..83
    draw();
    EXPECT_EQ(px(80, 80), white);
    world->show_impacts = true;
    draw();
    EXPECT_EQ(px(80, 80), red);
    EXPECT_EQ(px(76, 80), black);
    EXPECT_EQ(px(75, 80), white);
}

TEST_F(render_test, ArrowsPointAlongTheirAngle) {
    auto blank = [&] {
        select_pen(memdc, world->palette.white_pen);
        select_brush(memdc, world->palette.white_brush);
        rectangle(memdc, 0, 0, 400, 400);
        select_pen(memdc, world->palette.black_pen);
    };
    blank();
    world->draw_arrow(memdc, 5.0, 5.0, 0.0, 1.0);  // shaft 160..240 on y 200, tip on the right
    EXPECT_EQ(px(230, 200), black);
    // The head's strokes reach back to x = 200 + 30 cos 45 deg on either side of the tip.
    EXPECT_GT(count(black, 215, 175, 240, 198), 5);
    EXPECT_GT(count(black, 215, 202, 240, 225), 5);
    EXPECT_EQ(count(black, 160, 175, 185, 198), 0);

    blank();
    world->draw_arrow(memdc, 5.0, 5.0, M_PI / 2, 1.0);  // points up the screen
    EXPECT_EQ(px(200, 170), black);
    EXPECT_GT(count(black, 175, 160, 198, 185), 5);
    EXPECT_EQ(count(black, 175, 215, 198, 240), 0);
}

TEST_F(render_test, SensorDotUsesItsOwnColourAndRestoresTheBrush) {
    EXPECT_EQ(get_sensor_color(true), red);
    EXPECT_EQ(get_sensor_color(false), white);
    select_pen(memdc, world->palette.black_pen);
    brush before = select_brush(memdc, world->palette.green_brush);
    (void)before;
    world->draw_sensor(memdc, 5.0, 5.0, 0.0, 1.0, 0.5, get_sensor_color(true));
    EXPECT_EQ(px(240, 200), red);  // centre 1.0 to the right of (5, 5)
    EXPECT_EQ(current_brush(memdc).c, green);
}

TEST_F(render_test, SnapshotIsAPngFile) {
    draw();
    std::string path = dir_ + "/scene.png";
    ASSERT_TRUE(save_png(membmp, path.c_str()));
    std::string bytes = read_file(path);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_FALSE(save_png(membmp, "/nonexistent-folder/x.png"));
}

}  // namespace

namespace {

TEST_F(render_test, StretchedPicturesAreKeptWithinTheirBoundOfBytes) {
    // Forty consoles' worth of the largest camera pictures, each stretched to the 400 by 400
    // surface: far more than the bound if all were kept.
    std::vector<std::vector<std::uint8_t>> pictures(40, std::vector<std::uint8_t>(640 * 480 * 3));
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        std::fill(pictures[i].begin(), pictures[i].end(), static_cast<std::uint8_t>(i * 6));
        stretch_picture(memdc, 0, 0, 400, 400, pictures[i].data(), 640, 480, 640 * 3);
        ASSERT_LE(stretched_picture_cache_bytes(), stretched_picture_cache_limit);
    }
    EXPECT_GT(stretched_picture_cache_bytes(), stretched_picture_cache_limit / 2);  // and still kept
    // A picture pushed out is drawn afresh.
    stretch_picture(memdc, 0, 0, 400, 400, pictures[0].data(), 640, 480, 640 * 3);
    EXPECT_EQ(px(200, 200), black);
}

}  // namespace
