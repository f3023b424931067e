#include "platform/wayland/sway.h"

#include <gtest/gtest.h>

namespace {

using platform::wayland::ParseSwayTree;
using platform::wayland::Rect;
using platform::wayland::WindowTree;

// Shaped like sway 1.7's get_tree: two tiled windows with title bars (deco_rect relative to
// the workspace), and a floating one whose workspace sits at (800, 0) on a second output.
constexpr const char* kTree =
    R"({"id": 1, "type": "root", "rect": {"x":0,"y":0,"width":1600,"height":600},
 "focused": false, "nodes": [
  {"id": 3, "type": "output", "name": "HEADLESS-1", "rect": {"x":0,"y":0,"width":800,"height":600},
   "focused": false, "nodes": [
    {"id": 4, "type": "workspace", "rect": {"x":0,"y":0,"width":800,"height":600}, "focused": false,
     "nodes": [
      {"id": 5, "type": "con", "rect": {"x":0,"y":25,"width":400,"height":575},
       "deco_rect": {"x":0,"y":0,"width":400,"height":25},
       "window_rect": {"x":2,"y":0,"width":396,"height":573}, "focused": false, "nodes": []},
      {"id": 6, "type": "con", "rect": {"x":400,"y":25,"width":400,"height":575},
       "deco_rect": {"x":400,"y":0,"width":400,"height":25},
       "window_rect": {"x":2,"y":0,"width":396,"height":573}, "focused": %s, "nodes": []}],
     "floating_nodes": []}]},
  {"id": 7, "type": "output", "name": "HEADLESS-2", "rect": {"x":800,"y":0,"width":800,"height":600},
   "focused": false, "nodes": [
    {"id": 8, "type": "workspace", "rect": {"x":800,"y":0,"width":800,"height":600}, "focused": %s,
     "nodes": [], "floating_nodes": [
      {"id": 9, "type": "floating_con", "rect": {"x":900,"y":125,"width":200,"height":100},
       "deco_rect": {"x":100,"y":100,"width":200,"height":25},
       "window_rect": {"x":0,"y":0,"width":200,"height":100}, "focused": %s, "nodes": []}]}]}]})";

std::string Tree(int focused) {
  char text[4096];
  auto flag = [&](int id) { return focused == id ? "true" : "false"; };
  std::snprintf(text, sizeof text, kTree, flag(6), flag(8), flag(9));
  return text;
}

TEST(Sway, FocusAndWindowFramesFromTheTree) {
  struct Case {
    int focused_node;
    std::uint32_t window;
    const char* output;
  } cases[] = {{6, 6, "HEADLESS-1"}, {9, 9, "HEADLESS-2"}, {8, 0, "HEADLESS-2"}};
  for (const Case& c : cases) {
    WindowTree tree;
    ASSERT_TRUE(ParseSwayTree(Tree(c.focused_node), &tree)) << c.focused_node;
    EXPECT_EQ(tree.focused, c.window) << c.focused_node;
    EXPECT_EQ(tree.output, c.output) << c.focused_node;
  }
  WindowTree tree;
  ASSERT_TRUE(ParseSwayTree(Tree(6), &tree));
  ASSERT_EQ(tree.windows.size(), 3u);
  const std::pair<Rect, Rect> frames[] = {
      {{0, 0, 400, 600}, {2, 25, 396, 573}},      // title bar above the rect
      {{400, 0, 400, 600}, {402, 25, 396, 573}},  // deco_rect is the workspace's, not the screen's
      {{900, 100, 200, 125}, {900, 125, 200, 100}},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(tree.windows[i].frame, frames[i].first) << i;
    EXPECT_EQ(tree.windows[i].client, frames[i].second) << i;
  }
}

TEST(Sway, WhatIsNotATree) {
  WindowTree tree;
  for (const char* text : {"", "[1, 2]", "{\"nodes\": [}",
                           "{\"nodes\": [{\"id\": \"one\", \"type\": \"con\", \"nodes\": []}]}",
                           "{\"nodes\": [{\"id\": 2, \"focused\": \"yes\"}]}"})
    EXPECT_FALSE(ParseSwayTree(text, &tree)) << text;
}

}  // namespace
