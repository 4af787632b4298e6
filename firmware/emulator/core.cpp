// The simulator's core as the board's chip: the firmware in its flash, every
// reset starting at the boot section (BOOTRST), SPM as the chip does it,
// the reset cause in MCUSR, and the memories written out.
#include <avr_eeprom.h>
#include <avr_flash.h>
#include <sim_avr.h>
#include <sim_cycle_timers.h>
#include <sim_io.h>
#include <sim_regbit.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "emulator.h"

namespace emulator {

namespace {

// How far a bootloader image may run past the end of the flash.
constexpr std::size_t kOverhangLimit = 1024;
constexpr std::size_t kInstructionBytes = 4;

// The simulator's page write copies the page buffer over the flash; the
// chip's can only clear bits (only an erase sets them), so a page written
// without its erase holds the old bits AND the new ones. Emulated so, a
// bootloader that forgets an erase cannot pass here. With the boot section
// locked (lock bits 0x0F), an erase or a write of a page there does
// nothing, as on the chip. One chip a process: the simulator's own handler
// and the boot section are kept here.
using IoControl = int (*)(avr_io_t*, uint32_t, void*);
IoControl simulator_flash_control = nullptr;
const ChipModel* flash_model = nullptr;

uint32_t spm_page(avr_t* avr, const avr_flash_t* flash) {
    uint32_t high = avr->rampz != 0 ? avr->data[avr->rampz] : 0;
    uint32_t z = (high << 16) | (avr->data[R_ZH] << 8) | avr->data[R_ZL];
    return z & ~(flash->spm_pagesize - 1u);
}

int flash_control_as_on_the_chip(avr_io_t* io, uint32_t request, void* param) {
    auto* flash = reinterpret_cast<avr_flash_t*>(io);
    avr_t* avr = io->avr;
    bool erase = avr_regbit_get(avr, flash->pgers) != 0;
    bool write = avr_regbit_get(avr, flash->pgwrt) != 0;
    if (request != AVR_IOCTL_FLASH_SPM || (!erase && !write))
        return simulator_flash_control(io, request, param);
    uint32_t page = spm_page(avr, flash);
    if (page + flash->spm_pagesize > avr->flashend + 1u) return simulator_flash_control(io, request, param);
    std::vector<uint8_t> before(avr->flash + page, avr->flash + page + flash->spm_pagesize);
    int result = simulator_flash_control(io, request, param);
    bool locked = flash_model->boot_locked && page >= flash_model->boot_start;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (locked)
            avr->flash[page + i] = before[i];
        else if (!erase)
            avr->flash[page + i] &= before[i];
    }
    return result;
}

void program_flash_as_on_the_chip(avr_t* avr, const ChipModel& model) {
    flash_model = &model;
    for (avr_io_t* io = avr->io_port; io != nullptr; io = io->next) {
        if (io->kind != nullptr && std::strcmp(io->kind, "flash") == 0 && io->ioctl != nullptr) {
            simulator_flash_control = io->ioctl;
            io->ioctl = flash_control_as_on_the_chip;
        }
    }
}

// The simulator writes an EEPROM byte at once; the chip takes milliseconds
// (8.5 on the ATmega128), and meanwhile EEWE (EEPE) stays set and the
// EEPROM takes neither a read nor another write. Emulated so (on the chips
// whose model gives the time), a firmware that does not wait for a write
// cannot pass here. The control register's bits are the same on every chip
// here: EERE 0, EEWE 1, EEMWE 2.
constexpr uint8_t kEepromRead = 1 << 0;
constexpr uint8_t kEepromWrite = 1 << 1;
constexpr uint8_t kEepromWriteEnable = 1 << 2;

struct EepromWrites {
    avr_io_write_t simulator_control = nullptr;
    void* simulator_param = nullptr;
    avr_cycle_count_t busy_until = 0;
    avr_cycle_count_t write_cycles = 0;
    uint16_t control = 0;  // EECR in data space
} eeprom_writes;

avr_cycle_count_t eeprom_write_done(avr_t* avr, avr_cycle_count_t, void*) {
    avr->data[eeprom_writes.control] &= static_cast<uint8_t>(~kEepromWrite);
    return 0;
}

void eeprom_control_as_on_the_chip(avr_t* avr, avr_io_addr_t addr, uint8_t value, void*) {
    EepromWrites& w = eeprom_writes;
    if (avr->cycle < w.busy_until) {
        avr->data[addr] = static_cast<uint8_t>((value & ~kEepromRead) | kEepromWrite);
        return;
    }
    bool starts_write = (value & kEepromWrite) != 0 && (value & kEepromWriteEnable) != 0;
    w.simulator_control(avr, addr, value, w.simulator_param);
    if (!starts_write) return;
    w.busy_until = avr->cycle + w.write_cycles;
    avr->data[addr] |= kEepromWrite;
    avr_cycle_timer_register(avr, w.write_cycles, eeprom_write_done, nullptr);
}

void write_eeprom_as_on_the_chip(avr_t* avr, const ChipModel& model) {
    if (model.eeprom_write_seconds <= 0) return;
    for (avr_io_t* io = avr->io_port; io != nullptr; io = io->next) {
        if (io->kind == nullptr || std::strcmp(io->kind, "eeprom") != 0) continue;
        eeprom_writes.control = reinterpret_cast<avr_eeprom_t*>(io)->r_eecr;
        eeprom_writes.write_cycles =
            static_cast<avr_cycle_count_t>(avr->frequency * model.eeprom_write_seconds);
        auto& control = avr->io[AVR_DATA_TO_IO(eeprom_writes.control)].w;
        eeprom_writes.simulator_control = control.c;
        eeprom_writes.simulator_param = control.param;
        control.c = eeprom_control_as_on_the_chip;
    }
}

}  // namespace

// The simulator calls every module's reset after clearing the I/O space;
// this one tells the core.
struct Core::ResetHook {
    avr_io_t io{};  // first: the simulator hands this back
    Core* core = nullptr;

    static void reset(avr_io_t* io) {
        Core& core = *reinterpret_cast<ResetHook*>(io)->core;
        if (core.on_reset_) core.on_reset_(core.resetting_ ? *core.resetting_ : ResetCause::watchdog);
    }
};

Core::Core() : hook_(std::make_unique<ResetHook>()) {}
Core::~Core() = default;

bool Core::make(const Options& options) {
    model_ = options.chip;
    avr_ = avr_make_mcu_by_name(model_->name);
    if (avr_ == nullptr || avr_init(avr_) != 0) {
        std::fprintf(stderr, "tamborvine-avr: no %s in this simulator library\n", model_->name);
        return false;
    }
    avr_->frequency = options.clock;
    avr_->log = LOG_ERROR;
    flash_bytes_ = avr_->flashend + 1u;
    if (!load_firmware(options)) return false;
    avr_->codeend = avr_->flashend;
    avr_->reset_pc = model_->boot_start;
    avr_->pc = model_->boot_start;
    program_flash_as_on_the_chip(avr_, *model_);
    write_eeprom_as_on_the_chip(avr_, *model_);
    hook_->io.kind = "tamborvine-reset";
    hook_->io.reset = ResetHook::reset;
    hook_->core = this;
    avr_register_io(avr_, &hook_->io);
    return true;
}

// The bootloader first, then the application, whose data must lie within
// the chip's flash.
bool Core::load_firmware(const Options& options) {
    std::vector<uint8_t> image(flash_bytes_ + kOverhangLimit, 0xFF);
    uint32_t boot_end = 0;
    uint32_t app_end = 0;
    std::string error;
    bool loaded = load_hex(options.bootloader_path, image, boot_end, error);
    std::vector<uint8_t> flash(image.begin(), image.begin() + flash_bytes_);
    if (loaded && !options.application_path.empty())
        loaded = load_hex(options.application_path, flash, app_end, error);
    if (!loaded) {
        std::fprintf(stderr, "tamborvine-avr: %s\n", error.c_str());
        return false;
    }
    std::copy(flash.begin(), flash.end(), image.begin());
    image.resize(std::max(flash_bytes_, boot_end));
    if (image.size() > flash_bytes_) keep_past_the_end(image);
    std::memcpy(avr_->flash, image.data(), image.size());
    return true;
}

// A bootloader image whose code runs past the end of the flash has no
// place on a real chip; the emulated one grows for it, so that such an
// image still runs here as it was linked, and says so.
void Core::keep_past_the_end(const std::vector<uint8_t>& image) {
    std::fprintf(stderr,
                 "tamborvine-avr: the bootloader runs %zu bytes past the %u bytes of the %s's flash; "
                 "they are kept past its end, where no real chip has flash\n",
                 image.size() - flash_bytes_, flash_bytes_, model_->name);
    // The simulator reads an instruction's second word past the end.
    auto* grown = static_cast<uint8_t*>(std::realloc(avr_->flash, image.size() + kInstructionBytes));
    if (grown == nullptr) throw std::bad_alloc();
    avr_->flash = grown;
    avr_->flashend = static_cast<uint32_t>(image.size() - 1);
}

// The simulator's reset clears MCUSR with the rest of the I/O space; the
// cause is set after it, as the chip keeps it for the firmware to read.
void Core::reset(ResetCause cause) {
    resetting_ = cause;
    avr_reset(avr_);
    resetting_.reset();
    avr_regbit_set(avr_, cause == ResetCause::power_on ? avr_->reset_flags.porf : avr_->reset_flags.extrf);
}

bool Core::write_flash(const std::string& path) const {
    return write_memory_file(path, avr_->flash, flash_bytes_);
}

bool Core::write_eeprom(const std::string& path) const {
    std::vector<uint8_t> bytes(avr_->e2end + 1u);
    avr_eeprom_desc_t request{.ee = bytes.data(), .offset = 0, .size = static_cast<uint32_t>(bytes.size())};
    // The simulator's answer says nothing: it fails even when it copied.
    avr_ioctl(avr_, AVR_IOCTL_EEPROM_GET, &request);
    return write_memory_file(path, bytes.data(), bytes.size());
}

}  // namespace emulator
