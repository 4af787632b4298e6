// The terminal's text upload: a file sent byte by byte with a dot per
// thousand, and the file-name prompt. An upload can always be left: Esc or
// Ctrl-C stops it, and a port that takes nothing fails its bytes in bounded
// time. Keys typed before the Esc are held for the terminal (upload.h).
#include "term/upload.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "base/fatal.h"
#include "base/files.h"
#include "base/run_options.h"
#include "base/text.h"
#include "console/console.h"
#include "events/events.h"
#include "serial/serial.h"
#include "term/term.h"

namespace {

constexpr int kDrainBeforeUpload = 10;
constexpr long kDotEvery = 1000;          // upload bytes per progress dot
constexpr std::size_t kPromptChars = 30;  // the longest name the prompt takes
constexpr int kUploadFailureLimit = 5;    // failed sends in a row that stop an upload
// While the port takes bytes at once the keys are looked at every
// kKeyLookEvery bytes of an upload; while it has no room, at once.
constexpr long kKeyLookEvery = 256;

long upload_count = 0;

// Keys typed during an upload ahead of an Esc or Ctrl-C, kept for the
// terminal in their order.
struct HeldKeys {
    std::array<int, 64> codes{};
    std::size_t head = 0;
    std::size_t count = 0;

    bool empty() const { return count == 0; }
    bool full() const { return count == codes.size(); }
    void push(int code) { codes[(head + count++) % codes.size()] = code; }
    int pop() {
        int code = codes[head];
        head = (head + 1) % codes.size();
        --count;
        return code;
    }
    int last() const { return codes[(head + count - 1) % codes.size()]; }
};

HeldKeys held_keys;

// Whether the upload in progress reads keys at all: a scripted run reads
// none, so what its standard input holds stays for the terminal after the
// steps (or for nobody); Ctrl-C interrupts such an upload as it does the
// steps.
bool upload_reads_keys = true;

// Whether an upload looks at the keys: not once the held keys are full, nor
// after a Ctrl-F, as what follows it is the answer to the prompt it opens.
bool looking_at_keys() {
    return upload_reads_keys && !held_keys.full() && (held_keys.empty() || held_keys.last() != kKeyCtrlF);
}

// Keys typed during an upload: true for an exit key (Esc or Ctrl-C, or the
// one --exit-key names). The keys before it are held for the terminal, in
// their order.
bool stop_key_typed() {
    while (looking_at_keys() && key_available()) {
        int code = read_key();
        if (is_exit_key(code)) return true;
        if (code < 0) break;
        held_keys.push(code);
    }
    return false;
}

enum class ByteSent { sent, failed, stopped_by_key };

// Sends the byte, waiting on the port's room and the keyboard together, so
// that Esc or Ctrl-C is seen at once however long the port keeps the byte.
ByteSent send_upload_byte(uint8_t byte) {
    for (;;) {
        WaitSource keys;
        int keys_limit = kWaitForever;
        if (looking_at_keys()) keys_limit = console_key_wait(&keys);
        if (keys_limit == 0 && stop_key_typed()) return ByteSent::stopped_by_key;
        if (!looking_at_keys()) {  // nothing more to watch: only the port
            keys = WaitSource{};
            keys_limit = kWaitForever;
        }
        SendOutcome outcome = send_byte_unless(byte, keys, keys_limit);
        if (outcome == SendOutcome::sent) return ByteSent::sent;
        if (outcome == SendOutcome::failed) return ByteSent::failed;
        if (stop_key_typed()) return ByteSent::stopped_by_key;
    }
}

// The file being uploaded. One whose reads can wait (a pipe whose writer is
// slow, a terminal, a device) is read a byte per call, each after a wait on
// it beside the keys, so that Esc and Ctrl-C stop the upload however long
// the file keeps its next byte.
struct UploadFile {
    std::FILE* stream = nullptr;
    WaitSource more;        // readable once the next byte (or the end) is there; none: reads never wait
    bool the_port = false;  // not opened: it is the port itself, whose bytes are the target's
};

// The next byte of the file, EOF at its end or when it cannot be read on.
int next_upload_byte(std::FILE* file) {
    for (;;) {
        errno = 0;
        int c = std::fgetc(file);
        if (c != EOF || std::ferror(file) == 0 || errno != EINTR) return c;
        check_pending_signal();
        std::clearerr(file);
    }
}

// Waits until a read of the file will not wait; false when Esc or Ctrl-C
// was typed meanwhile.
bool wait_for_file(const UploadFile& file) {
    if (file.more.kind == WaitSource::Kind::none) return true;
    for (;;) {
        std::array<WaitSource, 2> sources{file.more, WaitSource{}};
        int keys_limit = looking_at_keys() ? console_key_wait(&sources[1]) : kWaitForever;
        if (keys_limit == 0) {
            if (stop_key_typed()) return false;
            continue;
        }
        int ready = wait_for_any(sources, keys_limit);
        check_pending_signal();
        if (ready == 0) return true;
    }
}

bool upload_stopped_by_key() {
    if (terminal_options.exit_key >= 0)
        console_print("\r\nUpload stopped: the exit key typed.\r\n");
    else
        console_print("\r\nUpload stopped: Esc or Ctrl-C typed.\r\n");
    return false;
}

// Sends the file byte by byte with a dot per thousand. A line that keeps
// refusing bytes (the adapter was pulled out, nobody reading the other
// end) stops the upload rather than report every remaining byte; so does
// Esc or Ctrl-C. False when the upload did not reach the end.
bool upload_file_bytes(const UploadFile& file) {
    upload_count = 0;
    int failed_in_a_row = 0;
    for (;;) {
        if (!wait_for_file(file)) return upload_stopped_by_key();
        int c = next_upload_byte(file.stream);
        if (c == EOF) break;
        check_pending_signal();
        ByteSent sent = send_upload_byte(static_cast<uint8_t>(c));
        if (sent == ByteSent::stopped_by_key) return upload_stopped_by_key();
        if (sent == ByteSent::failed) {
            if (++failed_in_a_row >= kUploadFailureLimit) {
                console_print("\r\nUpload stopped: the port takes no more bytes.\r\n");
                return false;
            }
        } else {
            failed_in_a_row = 0;
        }
        ++upload_count;
        if (upload_count % kDotEvery == 0) {
            console_print(".");
            console_flush();
        }
        if (upload_count % kKeyLookEvery == 0 && stop_key_typed()) return upload_stopped_by_key();
    }
    if (std::ferror(file.stream) != 0) {
        console_print("\r\nCannot read input file.\r\n");
        return false;
    }
    return true;
}

// Opens the file to upload in binary mode. A name that opens but cannot be
// read at all (a directory) counts as one that does not open. Opening a
// pipe waits for its writer; a signal during that wait ends the run.
UploadFile open_upload_file(const char* name) {
    check_pending_signal();
    errno = 0;
    UploadFile file;
    file.the_port = same_file(name, port_device_path(port_name()).c_str());
    if (file.the_port) return file;
    file.stream = std::fopen(name, "rb");
    if (file.stream == nullptr && errno == EINTR) check_pending_signal();
    if (file.stream == nullptr) return file;
    file.more = input_file_wait_source(file.stream);
    if (file.more.kind != WaitSource::Kind::none) {
        // No directory: what it holds is read when it comes.
        std::setvbuf(file.stream, nullptr, _IONBF, 0);
        return file;
    }
    int c = next_upload_byte(file.stream);
    if (std::ferror(file.stream) != 0) {
        std::fclose(file.stream);
        return UploadFile{};
    }
    if (c != EOF) std::ungetc(c, file.stream);
    return file;
}

// The file the current file name names, sent whole; one that does not open
// gets the prompt and one more try, or without the prompt (a scripted run,
// which reads no keys) ends the run.
void upload_current_file(bool prompt_when_missing) {
    console_flush();
    upload_reads_keys = prompt_when_missing;
    UploadFile file = open_upload_file(run_options.current_file_name.data());
    if (file.stream == nullptr) {
        if (!prompt_when_missing) report_error("Cannot open input file.");
        console_print(file.the_port ? "Cannot open input file: it is the port.\r\r\n"
                                    : "Cannot open input file.\r\r\n");
        prompt_file_name();
        file = open_upload_file(run_options.current_file_name.data());
        if (file.stream == nullptr) report_error("Cannot open input file.");
    }
    bool complete = upload_file_bytes(file);
    Event("upload")
        .with("file", run_options.current_file_name.data())
        .with("bytes", upload_count)
        .with("complete", complete)
        .write();
    console_print("\r\n\r*** %li Chars Sent *** \r\r\n", upload_count);
    console_flush();
    std::fclose(file.stream);
}

}  // namespace

bool take_held_key(int* code) {
    if (held_keys.empty()) return false;
    *code = held_keys.pop();
    return true;
}

void upload_named_file(const char* text_file, bool prompt_when_missing) {
    drain_input(kDrainBeforeUpload);
    if (!copy_text(run_options.current_file_name, text_file)) report_error("File Name Bad Argument");
    console_print("\r\nsend text file = %s  ",
                  shown_target_bytes(run_options.current_file_name.data()).c_str());
    upload_current_file(prompt_when_missing);
}

int upload_text_file() {
    upload_current_file(true);
    drain_input(kDrainAfterUpload);
    return 0;
}

int prompt_file_name() {
    console_begin_line_input();
    console_print("\r\r\n\r\nPlease enter an file name : ");
    console_flush();
    // Input that ends before a word (Ctrl-D at the prompt) keeps the name.
    std::array<char, kPromptChars + 1> word{};
    if (console_read_word(word.data(), word.size(), kPromptChars) >= 0)
        copy_text(run_options.current_file_name, word.data());
    return 0;
}
