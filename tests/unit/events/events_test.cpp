// The event stream read back as a consumer reads it: every line one JSON
// object, whatever bytes the texts held, and the end written once.
#include "events/events.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

std::vector<nlohmann::json> read_lines(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(Events, OneObjectALineWhateverTheTexts) {
    // Off: nothing happens, nothing breaks.
    Event("ignored").with("n", 1).write();
    EXPECT_FALSE(events_on());

    auto path = std::filesystem::temp_directory_path() / "tamborvine-events-test.jsonl";
    std::ofstream out(path, std::ios::binary);
    ASSERT_TRUE(out);
    int closed = 0;
    events_open(EventSink{
        [&out](std::string_view line, std::string*) { return bool(out.write(line.data(), line.size())); },
        [&out, &closed](std::string*) {
            ++closed;
            out.close();
            return true;
        }});
    Event("start")
        .with("port", "/dev/pts/3")
        .with("rate", 19200)
        .with("word", 0xFC00u)
        .with("write", true)
        .with("timeout_s", 2.5)
        .with("none", static_cast<const char*>(nullptr))
        .with("options", std::move(Event::object().with("quote", "say \"hi\"\n")))
        .add("steps", std::move(Event::object().with("expect", "a\\r\\n")))
        .add("steps", std::move(Event::object().with("send", "b")))
        .write();
    // Bytes a target might send: ESC, a C1 control, a stray UTF-8 byte.
    Event("reply").with("text", std::string_view("\x1b[2J\xc2\x9b\xff", 7)).write();
    EXPECT_TRUE(events_end(0, "steps passed"));
    EXPECT_TRUE(events_end(1, "second end"));  // ignored
    Event("after").write();                    // ignored
    EXPECT_EQ(closed, 1);

    std::ifstream raw(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.find('\x1b'), std::string::npos);
    EXPECT_EQ(all.find("\xc2\x9b"), std::string::npos);  // U+009B escaped as \u009b

    auto lines = read_lines(path);
    std::filesystem::remove(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["event"], "start");
    EXPECT_EQ(lines[0]["rate"], 19200);
    EXPECT_EQ(lines[0]["word"], 0xFC00);
    EXPECT_EQ(lines[0]["timeout_s"], 2.5);
    EXPECT_TRUE(lines[0]["none"].is_null());
    EXPECT_EQ(lines[0]["options"]["quote"], "say \"hi\"\n");
    EXPECT_EQ(lines[0]["steps"][1]["send"], "b");
    EXPECT_EQ(lines[1]["text"], "\x1b[2J\xc2\x9b\xef\xbf\xbd");
    EXPECT_EQ(lines[2]["event"], "end");
    EXPECT_EQ(lines[2]["status"], 0);
    EXPECT_EQ(lines[2]["reason"], "steps passed");
    EXPECT_LE(lines[0]["t_ms"], lines[2]["t_ms"]);
}

}  // namespace
