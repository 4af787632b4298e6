// The Telnet/COM-PORT-OPTION codec: what a server sends, cut anywhere,
// decodes to the same data and events; every byte value survives the trip
// both ways; the server's answers are recognised; the negotiation settles
// without a loop.
#include "net/rfc2217.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/net.h"

namespace {

using namespace rfc2217;
using Bytes = std::vector<uint8_t>;

struct Decoded {
    Bytes data;
    std::vector<std::string> events;  // "will 3", "com 101 0000e100", ...
    bool operator==(const Decoded&) const = default;
};

std::string hex(const uint8_t* p, std::size_t n) {
    std::string s;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

// Feeds the stream in two pieces cut at `cut`, each piece through its own
// loop, as two reads from the network would deliver them.
Decoded decode(const Bytes& stream, std::size_t cut) {
    Decoder decoder;
    Decoded out;
    auto feed = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            Event e = decoder.take(stream[i]);
            switch (e.kind) {
                case EventKind::none: break;
                case EventKind::data: out.data.push_back(e.byte); break;
                case EventKind::will: out.events.push_back("will " + std::to_string(e.byte)); break;
                case EventKind::wont: out.events.push_back("wont " + std::to_string(e.byte)); break;
                case EventKind::do_: out.events.push_back("do " + std::to_string(e.byte)); break;
                case EventKind::dont: out.events.push_back("dont " + std::to_string(e.byte)); break;
                case EventKind::com_port:
                    out.events.push_back("com " + std::to_string(e.byte) + " " +
                                         hex(decoder.value(), decoder.value_size()));
                    break;
                case EventKind::other: out.events.push_back("other " + std::to_string(e.byte)); break;
            }
        }
    };
    feed(0, cut);
    feed(cut, stream.size());
    return out;
}

Bytes frame_bytes(const Frame& f) {
    return Bytes(f.bytes.begin(), f.bytes.begin() + static_cast<long>(f.size));
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

TEST(Rfc2217Decoder, AServerStreamCutAtEveryPositionDecodesTheSame) {
    // What ser2net opens with, then data with an IAC, a SET-BAUDRATE answer
    // whose value holds IAC bytes (65535 baud), a modem-state notice, a
    // subnegotiation of another option, a NOP, an unfinished
    // subnegotiation cut short by a command, and data again.
    Bytes stream = {255, 251, 3,   255, 253, 3,   255, 251, 1,   255, 254, 1,   255, 253, 0,  255, 251,
                    0,   255, 253, 44,  'H', 255, 255, 'i', 0,   13,  255, 250, 44,  101, 0,  0,   255,
                    255, 255, 255, 255, 240, 255, 250, 44,  107, 48,  255, 240, 255, 250, 24, 1,   255,
                    240, 255, 241, 255, 250, 44,  105, 8,   255, 252, 1,   '!', 255, 255};
    Decoded expected;
    expected.data = {'H', 255, 'i', 0, 13, '!', 255};
    expected.events = {"will 3",           "do 3",       "will 1",   "dont 1",    "do 0",  "will 0", "do 44",
                       "com 101 0000ffff", "com 107 30", "other 24", "other 241", "wont 1"};
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        EXPECT_EQ(decode(stream, cut), expected);
    }
}

TEST(Rfc2217Decoder, AnAnswersValueReadsAsANumberAndALongOneIsCut) {
    Decoder decoder;
    Bytes answer = frame_bytes(encode_set_baudrate(57600));
    answer[3] = 101;  // the server's code for the same command
    Event last;
    for (uint8_t b : answer) last = decoder.take(b);
    ASSERT_EQ(last.kind, EventKind::com_port);
    Command command;
    ASSERT_TRUE(answered_command(last.byte, &command));
    EXPECT_EQ(command, Command::set_baudrate);
    EXPECT_EQ(decoder.value_number(), 57600u);
    EXPECT_FALSE(decoder.value_cut());

    for (uint8_t b : Bytes{255, 250, 44, 100}) decoder.take(b);
    for (int i = 0; i < 500; ++i) decoder.take('x');
    decoder.take(255);
    EXPECT_EQ(decoder.take(240).kind, EventKind::com_port);
    EXPECT_EQ(decoder.value_size(), kValueCapacity);
    EXPECT_TRUE(decoder.value_cut());
    EXPECT_EQ(decoder.take('y').kind, EventKind::data);

    EXPECT_FALSE(answered_command(5, &command));    // a client's code, not an answer
    EXPECT_FALSE(answered_command(113, &command));  // past the last command
    EXPECT_TRUE(answered_command(112, &command));
    EXPECT_EQ(command, Command::purge_data);
}

TEST(Rfc2217Codec, EveryByteValueSurvivesEncodingAndDecoding) {
    Bytes wire;
    for (int b = 0; b < 256; ++b) append(wire, frame_bytes(encode_data(static_cast<uint8_t>(b))));
    EXPECT_EQ(wire.size(), 257u);  // only IAC is doubled
    Decoded out = decode(wire, wire.size() / 2);
    ASSERT_EQ(out.data.size(), 256u);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(out.data[static_cast<std::size_t>(b)], b);
    EXPECT_TRUE(out.events.empty());
}

TEST(Rfc2217Codec, CommandsGoOutFramedWithIacInTheirValuesDoubled) {
    EXPECT_EQ(frame_bytes(encode_set_baudrate(19200)), (Bytes{255, 250, 44, 1, 0, 0, 0x4b, 0, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_baudrate(0xFFFFFFFF)),
              (Bytes{255, 250, 44, 1, 255, 255, 255, 255, 255, 255, 255, 255, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_datasize(kDataSize8)), (Bytes{255, 250, 44, 2, 8, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_parity(kParityNone)), (Bytes{255, 250, 44, 3, 1, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_stopsize(kStopSize1)), (Bytes{255, 250, 44, 4, 1, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_control(kControlNoFlowControl)), (Bytes{255, 250, 44, 5, 1, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_control(kControlDtrOn)), (Bytes{255, 250, 44, 5, 8, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_control(kControlDtrOff)), (Bytes{255, 250, 44, 5, 9, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_control(kControlRtsOn)), (Bytes{255, 250, 44, 5, 11, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_set_control(kControlRtsOff)), (Bytes{255, 250, 44, 5, 12, 255, 240}));
    EXPECT_EQ(frame_bytes(encode_purge_data(kPurgeBoth)), (Bytes{255, 250, 44, 12, 3, 255, 240}));
    // The client's own commands decode as subnegotiations too (a server
    // built on this decoder would read them).
    Decoded back = decode(frame_bytes(encode_set_baudrate(0xFFFFFFFF)), 5);
    EXPECT_EQ(back.events, (std::vector<std::string>{"com 1 ffffffff"}));
}

// The client's replies to a server's negotiation, and the server's
// (mirrored) replies to those: the exchange must end.
TEST(Rfc2217Negotiation, SettlesWithSer2netsOpeningAndRefusesWhatItDoesNotWant) {
    Negotiator client;
    Bytes sent;
    for (const Frame& f : client.opening()) append(sent, frame_bytes(f));
    EXPECT_EQ(sent, (Bytes{255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 251, 44}));
    EXPECT_FALSE(client.com_port_agreed());

    // ser2net's opening, which crosses the client's own requests.
    struct Step {
        EventKind verb;
        uint8_t option;
        Bytes reply;
    };
    std::vector<Step> steps = {
        {EventKind::will, 3, {}},             // answers our DO SGA
        {EventKind::do_, 3, {}},              // answers our WILL SGA
        {EventKind::will, 1, {255, 254, 1}},  // remote echo: refused
        {EventKind::dont, 1, {}},             // we never echo: nothing to say
        {EventKind::do_, 0, {}},              // BINARY both ways, as asked
        {EventKind::will, 0, {}},
        {EventKind::do_, 44, {}},               // COM-PORT-OPTION agreed
        {EventKind::will, 44, {255, 254, 44}},  // the server's own side of it is not needed
        {EventKind::do_, 24, {255, 252, 24}},   // terminal type: refused
        {EventKind::do_, 0, {}},                // asked again: already on, no reply (no loop)
        {EventKind::wont, 24, {}},              // never on: nothing to say
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::to_string(static_cast<int>(s.verb)) + " " + std::to_string(s.option));
        EXPECT_EQ(frame_bytes(client.answer(s.verb, s.option)), s.reply);
    }
    EXPECT_TRUE(client.com_port_agreed());
    EXPECT_FALSE(client.com_port_refused());

    // The server turns BINARY off: the client agrees once and says so once.
    EXPECT_EQ(frame_bytes(client.answer(EventKind::wont, 0)), (Bytes{255, 254, 0}));
    EXPECT_EQ(frame_bytes(client.answer(EventKind::wont, 0)), Bytes{});
    // And on again: the client agrees, once.
    EXPECT_EQ(frame_bytes(client.answer(EventKind::will, 0)), (Bytes{255, 253, 0}));
    EXPECT_EQ(frame_bytes(client.answer(EventKind::will, 0)), Bytes{});
}

TEST(Rfc2217Negotiation, APlainTelnetServerRefusesTheComPortOption) {
    Negotiator client;
    client.opening();
    EXPECT_EQ(frame_bytes(client.answer(EventKind::dont, 44)), Bytes{});  // a refusal of our request
    EXPECT_TRUE(client.com_port_refused());
    EXPECT_FALSE(client.com_port_agreed());
}

TEST(NetworkNames, TakeAHostAndAPortAndRefuseAnythingElse) {
    NetworkAddress a;
    ASSERT_TRUE(parse_network_name("RFC2217://benchpi.lab:3001", &a));
    EXPECT_EQ(a.kind, NetworkKind::rfc2217);
    EXPECT_STREQ(a.host.data(), "benchpi.lab");
    EXPECT_STREQ(a.port.data(), "3001");
    ASSERT_TRUE(parse_network_name("socket://[fe80::1%eth0]:65535", &a));
    EXPECT_EQ(a.kind, NetworkKind::raw);
    EXPECT_STREQ(a.host.data(), "fe80::1%eth0");
    for (const char* bad :
         {"rfc2217://", "rfc2217://host", "rfc2217://host:", "rfc2217://:3001", "rfc2217://host:0",
          "rfc2217://host:65536", "rfc2217://host:30x1", "rfc2217://::1:3001", "rfc2217://[::1]3001",
          "socket://a b:1", "socket://user@host:1", "socket://host/x:1", "telnet://host:23",
          "/dev/ttyUSB0"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_network_name(bad, &a));
    }
    EXPECT_FALSE(parse_network_name(("rfc2217://" + std::string(300, 'h') + ":1").c_str(), &a));
}

}  // namespace
