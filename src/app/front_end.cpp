// The front end: start-up, the command line, the port and the run order.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/app.h"
#include "app/options.h"
#include "app/reflash.h"
#include "base/fatal.h"
#include "base/files.h"
#include "base/run_options.h"
#include "base/text.h"
#include "boot/boot.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"
#include "serial/serial.h"
#include "steps/steps.h"
#include "term/term.h"

namespace {

// --wait-port: how often a port that does not open is tried again, and for
// how long a device that has appeared may still refuse this user (udev gives
// it its group a moment after it appears).
constexpr int kWaitPortRetryMs = 100;
constexpr int kPermissionGraceMs = 3000;

// The stop "Unable to open COM port" on standard output, after the cause on
// standard error; a usb: name that matched none or several ports names them
// in the stop.
[[noreturn]] void refuse_the_port(const char* name, const OpenFailure& why) {
    std::fflush(stdout);
    if (!why.line.empty()) std::fprintf(stderr, "%s\n", shown_target_bytes(why.line).c_str());
    std::fflush(stderr);
    report_error(
        (std::string("Unable to open COM port : ") + shown_target_bytes(name) + "\r\n" + why.candidates)
            .c_str());
}

// Opens the port, trying again every 100 ms for as long as --wait-port
// says (a board that enumerates a moment after power-on, a server that is
// still starting), and through a permission denied for a while after the
// first one.
void open_port_waiting() {
    const char* name = run_options.port_name.data();
    Deadline deadline = Deadline::in_ms(int64_t{run_options.wait_port_seconds} * 1000);
    bool denied_before = false;
    OpenFailure why;
    while (open_port(name, &why) != 1) {
        if (run_options.wait_port_seconds > 0 && why.cause == OpenCause::permission_denied &&
            !denied_before) {
            denied_before = true;
            Deadline grace = Deadline::in_ms(kPermissionGraceMs);
            if (grace.left_ms() > deadline.left_ms()) deadline = grace;
        }
        if (deadline.passed()) refuse_the_port(name, why);
        sleep_ms(kWaitPortRetryMs);
    }
}

void open_the_port() {
    open_port_waiting();
    if (set_baud_rate(run_options.terminal_rate) != 1)
        report_error_format("Unable to set %d baud", static_cast<int>(run_options.terminal_rate));
    drain_input(10);
}

// The terminal's frame and flow control, once the downloads are over (they
// keep the 8-N-1 the bootloader needs). A device that refuses them stops
// the run as a refused rate does.
void set_terminal_line() {
    if (terminal_line == LineSettings{}) return;
    if (set_line_settings(terminal_line) != 1)
        report_error_format("Unable to set the line to %s", line_settings_text(terminal_line).c_str());
}

// A file of the run that is the port itself would send its bytes down the
// line (a log, the event stream: a target takes them as commands) or take
// the target's (an upload): refused by the file's identity, whatever its
// spelling or link, before anything is opened or sent. One row a file.
void refuse_files_that_are_the_port() {
    const std::string device = port_device_path(run_options.port_name.data());
    if (device.empty()) return;
    const char* events = script.events_path != nullptr && std::strcmp(script.events_path, "-") != 0
                             ? script.events_path
                             : nullptr;
    const struct {
        const char* path;
        const char* message;
    } files[] = {
        {run_options.log_file, "Cannot open log file: it is the port."},
        {events, "Cannot open events file: it is the port."},
        {run_options.upload_file, "Cannot open input file: it is the port."},
    };
    for (const auto& file : files)
        if (same_file(file.path, device.c_str())) report_error(file.message);
}

// An events file whose reader takes nothing for this long has failed, as
// the log has: the run is not held by it.
constexpr int kEventsWaitMs = 2000;

EventSink file_sink(OutputFile* file) {
    EventSink sink;
    sink.write = [file](std::string_view line, std::string* why) {
        int error = 0;
        if (output_file_write(file, line.data(), line.size(), kEventsWaitMs, &error)) return true;
        *why = file_error_text(error);
        return false;
    };
    sink.close = [file](std::string* why) {
        int error = 0;
        if (output_file_close(file, &error)) return true;
        *why = file_error_text(error);
        return false;
    };
    return sink;
}

// Standard error is the user's own, as standard output is: written as it.
EventSink stderr_sink() {
    EventSink sink;
    sink.write = [](std::string_view line, std::string* why) {
        bool written = std::fwrite(line.data(), 1, line.size(), stderr) == line.size();
        // A flush cut short by a signal is tried again: the line must not be
        // lost; the signal is acted on where the program looks for it.
        while (written && std::fflush(stderr) != 0) {
            written = errno == EINTR;
            std::clearerr(stderr);
        }
        if (!written) *why = std::strerror(errno);
        return written;
    };
    return sink;
}

// The event stream opens once the command line is accepted, so that a
// refused command line empties no file; nor may it empty a file the run is
// about to read. Opening a pipe waits for its reader: a signal during the
// wait ends the run as a signal.
void open_events(int argc, char** argv) {
    const char* path = script.events_path;
    if (path == nullptr) return;
    const char* flash = run_options.no_flash_file ? nullptr : run_options.current_file_name.data();
    const char* eeprom = run_options.no_eeprom_file ? nullptr : run_options.eeprom_file_name.data();
    if (same_file(path, flash) || same_file(path, eeprom) || same_file(path, run_options.upload_file))
        report_error_format("Events file %s is a file the run reads", shown_target_bytes(path).c_str());
    if (std::strcmp(path, "-") == 0) {
        events_open(stderr_sink());
    } else {
        int error = 0;
        OutputFile* file = output_file_open(path, &error, true);
        if (file == nullptr) {
            std::fprintf(stderr, "tamborvine: opening events file %s: %s\n", shown_target_bytes(path).c_str(),
                         file_error_text(error));
            report_error_format("Cannot open events file: %s", shown_target_bytes(path).c_str());
        }
        events_open(file_sink(file));
    }
    Event options = Event::object();
    options.with("flash_file", run_options.no_flash_file ? nullptr : run_options.current_file_name.data())
        .with("eeprom_file", run_options.no_eeprom_file ? nullptr : run_options.eeprom_file_name.data())
        .with("upload_file", run_options.upload_file)
        .with("read_flash_file", run_options.read_flash_file)
        .with("read_eeprom_file", run_options.read_eeprom_file)
        .with("terminal_rate", run_options.terminal_rate)
        .with("download_rate", run_options.download_rate)
        .with("write", run_options.write_flash)
        .with("incremental", run_options.incremental)
        .with("wake", run_options.wake_application)
        .with("exit_bootloader", run_options.exit_bootloader)
        .with("time_tags", run_options.time_tags)
        .with("verbose", run_options.verbose)
        .with("quit", run_options.quit_after_download)
        .with("then_terminal", script.then_terminal)
        .with("protocol", run_options.protocol)
        .with("reset", reset_lines_name(run_options.reset_lines))
        .with("wait_port_s", run_options.wait_port_seconds)
        .with("watch", reflash_options.watch)
        .with("reflash_key", reflash_options.key)
        .with("build", reflash_options.build);
    for (const Step& step : script.steps) {
        Event row = Event::object();
        if (step.kind == Step::Kind::send)
            row.with("send", step.written);
        else
            row.with("expect", step.written).with("timeout_s", step.timeout_seconds);
        options.add("steps", std::move(row));
    }
    Event start("start");
    start.with("program", "tamborvine").with("port", run_options.port_name.data());
    for (int i = 1; i < argc; ++i) start.add("arguments", argv[i]);
    start.with("options", std::move(options)).write();
}

// The passes the command line asks for, and how they came out together: a
// failed verify outweighs an EEPROM that was not written. A run that only
// reads the chip back has a session of its own.
DownloadOutcome run_downloads() {
    DownloadOutcome outcome = DownloadOutcome::succeeded;
    auto add = [&outcome](DownloadOutcome pass) {
        if (pass == DownloadOutcome::failed || outcome == DownloadOutcome::succeeded) outcome = pass;
    };
    if (!run_options.no_flash_file) add(run_download(kFlashKind, run_options.current_file_name.data()));
    if (!run_options.no_eeprom_file) add(run_download(kEepromKind, run_options.eeprom_file_name.data()));
    const bool reads = run_options.read_flash_file != nullptr || run_options.read_eeprom_file != nullptr;
    if (run_options.no_flash_file && run_options.no_eeprom_file && reads) add(run_read_back());
    return outcome;
}

const char* outcome_reason(DownloadOutcome outcome) {
    if (outcome == DownloadOutcome::failed) return "verify failed";
    if (outcome == DownloadOutcome::not_written) return "EEPROM not written";
    return "downloads done";
}

// A scripted run: after the downloads, the -d upload and the steps; then
// the end, or the terminal. A failed verify (or an EEPROM not written) ends
// the run first, as with -q: a check of a board that does not hold the
// image proves nothing.
void run_script(DownloadOutcome outcome) {
    if (outcome != DownloadOutcome::succeeded) {
        const bool failed = outcome == DownloadOutcome::failed;
        std::fputs(failed ? "Verify failed: the steps were not run\n"
                          : "EEPROM not written: the steps were not run\n",
                   stderr);
        close_port();
        exit_program(kExitFailure, failed ? "verify failed: the steps were not run"
                                          : "EEPROM not written: the steps were not run");
    }
    set_baud_rate(run_options.terminal_rate);
    set_terminal_line();
    if (run_options.upload_file != nullptr) upload_named_file(run_options.upload_file, false);
    std::string failure;
    if (!run_steps(script.steps, &failure)) {
        close_port();
        exit_program(kExitFailure, failure);
    }
    if (!script.then_terminal) {
        close_port();
        // A log that could not be written fails the run, as in the terminal.
        if (!log_close()) exit_program(kExitFailure, "the log could not be written");
        exit_program(kExitOk, "steps passed");
    }
    console_ctrl_c_as_key();
    hand_reflash_to_terminal();
    run_terminal();
}

}  // namespace

int tamborvine_main(int argc, char** argv) {
    console_init();
    console_clear();
    create_flash_image();
    parse_command_line(argc, argv);
    refuse_files_that_are_the_port();
    open_events(argc, argv);
    watch_flash_file();
    // A run that quits after the downloads, or runs steps instead of the
    // terminal, reads no key: the keyboard stays as the user had it, so
    // Ctrl-C interrupts it and a run in the background (or under CI) is not
    // stopped for touching the terminal. The log is for what the terminal
    // or the steps show: a run that quits after the downloads leaves the
    // file as it is.
    const bool has_steps = !script.steps.empty();
    const bool terminal_runs = !run_options.quit_after_download && (!has_steps || script.then_terminal);
    const bool log_wanted = run_options.log_file != nullptr && (terminal_runs || has_steps);
    // Two streams into one file would each cut the other short; the events
    // file exists by now, whatever its spelling on the command line.
    if (log_wanted && script.events_path != nullptr && std::strcmp(script.events_path, "-") != 0 &&
        same_file(run_options.log_file, script.events_path))
        report_error("Cannot open log file: it is the events file.");
    refuse_read_backs_over_files_of_the_run();
    if (log_wanted && !log_open(run_options.log_file, run_options.log_append))
        report_error("Cannot open log file.");
    if (terminal_runs) console_take_keys();
    console_clear();
    open_the_port();
    const DownloadOutcome outcome = run_downloads();
    if (has_steps) run_script(outcome);
    if (run_options.quit_after_download) {
        close_port();
        exit_program(outcome == DownloadOutcome::succeeded ? kExitOk : kExitFailure, outcome_reason(outcome));
    }
    set_baud_rate(run_options.terminal_rate);
    set_terminal_line();
    console_ctrl_c_as_key();
    hand_reflash_to_terminal();
    if (run_options.no_arguments || run_options.upload_file == nullptr) run_terminal();
    run_terminal_after_upload(run_options.upload_file);
}
