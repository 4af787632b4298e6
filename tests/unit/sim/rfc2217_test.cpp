// The RFC 2217 server's dialogue, without sockets: a client's stream split
// at every position gives the same data, settings and answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rfc2217_server/rfc2217_server.h"

namespace {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, ECHO = 1, SGA = 3, COM = 44, LINEMODE = 34;

struct Seen {
    Bytes data;
    std::vector<uint32_t> rates;
    std::vector<std::string> pulses;
    Bytes answers;
};

Rfc2217Events events_into(Seen& seen) {
    Rfc2217Events events;
    events.data = [&seen](const Bytes& b) { seen.data.insert(seen.data.end(), b.begin(), b.end()); };
    events.rate = [&seen](uint32_t r) { seen.rates.push_back(r); };
    events.pulse = [&seen](const char* line) { seen.pulses.push_back(line); };
    return events;
}

// Feeds the stream in pieces cut at the given positions.
Seen feed(const Bytes& stream, const std::vector<std::size_t>& cuts) {
    Seen seen;
    Rfc2217Session session(events_into(seen), "tamborvine-sim");
    session.opening();
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        session.receive(stream.data() + from, cut - from);
        from = cut;
    }
    session.receive(stream.data() + from, stream.size() - from);
    seen.answers = session.take_answers();
    return seen;
}

Bytes com_port(uint8_t code, Bytes value) {
    Bytes out = {IAC, SB, COM, code};
    for (uint8_t b : value) {
        out.push_back(b);
        if (b == IAC) out.push_back(IAC);
    }
    out.insert(out.end(), {IAC, SE});
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A client as pyserial's opens a port, sends data holding IAC, changes the
// rate to one whose bytes hold IAC, pulses DTR and asks for an option the
// server does not have, with settings before and after the data.
const Bytes kClientStream = join({
    {IAC, DO, ECHO, IAC, WILL, SGA, IAC, DO, SGA, IAC, DO, COM, IAC, WILL, COM},
    {IAC, WILL, BINARY, IAC, DO, BINARY},   // answers to the server's offers
    com_port(1, {0x00, 0x00, 0x4B, 0x00}),  // 19200
    com_port(2, {8}),
    com_port(3, {1}),
    com_port(4, {1}),  // 8-N-1
    com_port(5, {1}),
    com_port(5, {8}),
    com_port(5, {11}),                        // no flow control, DTR on, RTS on
    com_port(12, {1}),                        // purge
    {'p', IAC, IAC, 0x00, '\r', 0x00, 0x41},  // data: IAC and a NUL after CR kept in binary
    com_port(1, {0x00, 0x0F, 0x42, 0xFF}),    // 1,000,191: a rate with an IAC byte
    {'x'},
    com_port(5, {9}),                                    // DTR off: the end of a pulse
    {IAC, WILL, LINEMODE, IAC, DO, LINEMODE, IAC, 241},  // unknown options, then a NOP
    com_port(5, {7}),                                    // DTR query
    {'y'},
});

TEST(Rfc2217Session, AnyCutOfTheStreamGivesTheSameDataSettingsAndAnswers) {
    Seen whole = feed(kClientStream, {});
    EXPECT_EQ(whole.data, (Bytes{'p', IAC, 0x00, '\r', 0x00, 0x41, 'x', 'y'}));
    EXPECT_EQ(whole.rates, (std::vector<uint32_t>{19200, 1000191}));
    EXPECT_EQ(whole.pulses, (std::vector<std::string>{"dtr"}));
    const Bytes expected_answers = join({
        {IAC, WILL, COM},  // the only request the server had not offered itself; no answer to the rest
        com_port(101, {0x00, 0x00, 0x4B, 0x00}),
        com_port(102, {8}),
        com_port(103, {1}),
        com_port(104, {1}),
        com_port(105, {1}),
        com_port(105, {8}),
        com_port(105, {11}),
        com_port(112, {1}),
        com_port(101, {0x00, 0x0F, 0x42, 0xFF}),
        com_port(105, {9}),
        {IAC, DONT, LINEMODE, IAC, WONT, LINEMODE},
        com_port(105, {9}),
    });
    EXPECT_EQ(whole.answers, expected_answers);
    for (std::size_t cut = 1; cut < kClientStream.size(); ++cut) {
        Seen split = feed(kClientStream, {cut});
        ASSERT_EQ(split.data, whole.data) << "cut at " << cut;
        ASSERT_EQ(split.rates, whole.rates) << "cut at " << cut;
        ASSERT_EQ(split.pulses, whole.pulses) << "cut at " << cut;
        ASSERT_EQ(split.answers, whole.answers) << "cut at " << cut;
    }
    std::vector<std::size_t> every;
    for (std::size_t i = 1; i < kClientStream.size(); ++i) every.push_back(i);
    EXPECT_EQ(feed(kClientStream, every).answers, whole.answers);
}

// Every byte value passes both ways once BINARY is agreed; before that a
// bare CR travels as CR NUL and comes back as CR.
TEST(Rfc2217Session, AllByteValuesPassAndBareCarriageReturnsAreNvtStyleOutsideBinary) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    Seen seen;
    Rfc2217Session session(events_into(seen), "tamborvine-sim");
    session.opening();
    Bytes text = {'a', '\r', 'b', '\r', '\n', IAC};
    Bytes plain = session.encode(text.data(), text.size());
    EXPECT_EQ(plain, (Bytes{'a', '\r', 0, 'b', '\r', '\n', IAC, IAC}));
    session.receive(plain.data(), plain.size());
    EXPECT_EQ(seen.data, text);

    Bytes agree = {IAC, DO, BINARY, IAC, WILL, BINARY};
    session.receive(agree.data(), agree.size());
    seen.data.clear();
    Bytes wire = session.encode(all.data(), all.size());
    EXPECT_EQ(wire.size(), 257u);
    session.receive(wire.data(), wire.size());
    EXPECT_EQ(seen.data, all);
}

}  // namespace
