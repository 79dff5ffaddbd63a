// The drawing tools every layer of the scene shares: five brushes and five pens. Tools are small
// values, so a world keeps its own and needs no application to draw.
#pragma once

#include "platform/draw.h"

struct palette_type {
    platform::brush white_brush = platform::make_brush(platform::rgb(255, 255, 255));
    platform::brush green_brush = platform::make_brush(platform::rgb(0, 255, 0));
    platform::brush blue_brush = platform::make_brush(platform::rgb(0, 0, 255));
    platform::brush red_brush = platform::make_brush(platform::rgb(255, 0, 0));
    platform::brush azure_brush = platform::make_brush(platform::rgb(0, 128, 200));
    platform::pen white_pen = platform::make_pen(platform::rgb(255, 255, 255));
    platform::pen black_pen = platform::make_pen(platform::rgb(0, 0, 0));
    platform::pen green_pen = platform::make_pen(platform::rgb(0, 255, 0));
    platform::pen blue_pen = platform::make_pen(platform::rgb(0, 0, 255));
    platform::pen azure_pen = platform::make_pen(platform::rgb(0, 128, 200));
};
