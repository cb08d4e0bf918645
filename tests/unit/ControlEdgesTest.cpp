#include "ControlEdges.h"

#include <gtest/gtest.h>

#include <vector>

using namespace murmelin;

namespace {

using Command = ControlEdges::Command;
constexpr auto kPressed = ShortcutEdge::pressed, kReleased = ShortcutEdge::released;

TEST(ControlEdgesTest, CommandsBecomeTheEdgesOfOneHeldKey) {
    struct Row {
        const char* name;
        std::vector<Command> commands;
        std::vector<ShortcutEdge> edges;
    } rows[] = {
        {"press, release", {Command::press, Command::release}, {kPressed, kReleased}},
        {"a repeating shortcut",
         {Command::press, Command::press, Command::press, Command::release},
         {kPressed, kReleased}},
        {"release alone", {Command::release}, {}},
        {"release twice",
         {Command::press, Command::release, Command::release},
         {kPressed, kReleased}},
        {"toggle twice ends like a release",
         {Command::toggle, Command::toggle},
         {kPressed, kReleased}},
        {"toggle thrice starts again",
         {Command::toggle, Command::toggle, Command::toggle},
         {kPressed, kReleased, kPressed}},
        {"toggle ends a press", {Command::press, Command::toggle}, {kPressed, kReleased}},
        {"release ends a toggle", {Command::toggle, Command::release}, {kPressed, kReleased}},
    };
    for (const auto& row : rows) {
        ControlEdges edges;
        std::vector<ShortcutEdge> seen;
        for (Command command : row.commands)
            if (const auto edge = edges.apply(command))
                seen.push_back(*edge);
        EXPECT_EQ(seen, row.edges) << row.name;
        EXPECT_EQ(edges.held(), !seen.empty() && seen.back() == kPressed) << row.name;
    }
}

TEST(ControlEdgesTest, TriggersInThePortalsShortcutForm) {
    struct Row {
        const char* ours;
        const char* portal;
    } rows[] = {
        {"Ctrl+Alt+Space", "CTRL+ALT+space"},
        {"Control+Shift+v", "CTRL+SHIFT+v"},
        {"Super+A", "LOGO+a"},
        {"Alt+F1", "ALT+F1"},
        {"Return", "Return"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(portalTrigger(row.ours), row.portal) << row.ours;
}

} // namespace
