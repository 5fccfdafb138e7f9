#include "run/dialogue.h"

#include "line/exchange.h"
#include "line/port.h"
#include "line/port_holders.h"
#include "run/exits.h"
#include "run/image_files.h"
#include "run/probe.h"
#include "run/state.h"
#include "texts/image_check.h"
#include "texts/line_speeds.h"
#include "texts/messages.h"
#include "texts/shown_name.h"
#include "transfer/upload.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// The loader sends "0" when the erase is done; every other byte it sends
// meanwhile, and every 2 s of silence, uses up one attempt.
constexpr int erase_attempts = 40;

// Time for the modem to start from its new Flash before the AT reset.
constexpr std::int64_t reset_pause_ms = 1000;

bool operator_confirms() {
    const int answer = std::getchar();
    return answer != EOF && std::tolower(answer) == 'y';
}

// A firmware cut, grown or rewritten since its check is neither the image
// the operator was warned about nor the one the upload would send: the run
// ends before the erase, and the modem is told to start its Flash unchanged,
// as when the operator declines.
void stop_unless_firmware_unchanged(const char* before) {
    if (image_unchanged(image_file::firmware)) {
        return;
    }
    send_command("STARTUP\r");
    std::fputs(before, stdout);
    std::fputs(around(firmware_changed_text, shown_name(firmware_name)).c_str(), stdout);
    fail(reset_modem_text);
}

// In re-load mode "X" may have reached a modem that runs its own firmware,
// which took "REPROGRAM" for noise and erased nothing; or a loader whose
// answer came after its limit, and which took "REPROGRAM" and may be erasing
// now, the late answer having used up the erase wait's attempts. romup cannot
// tell them apart, so it gives the way on for each.
[[noreturn]] void fail_without_loader_answer() {
    std::fputs(erase_failed_text, stdout);
    std::fputs(no_loader_answered_text, stdout);
    std::fputs(if_loader_runs_text, stdout);
    print_reload_command();
    std::fputs(if_own_firmware_text, stdout);
    const bool from_pipe = image_from_pipe(image_file::firmware);
    const bool default_loader = std::strcmp(loader_name, default_loader_name) == 0;
    std::fputs(normal_command_text(port_name, from_pipe ? nullptr : firmware_name,
                                   listed_rate(line_speed), sleeping_waits,
                                   default_loader ? nullptr : loader_name)
                   .c_str(),
               stdout);
    end_run(1);
}

bool flash_erased() {
    for (int attempt = 0; attempt < erase_attempts; ++attempt) {
        if (read_char() == 1 && reply[0] == '0') {
            return true;
        }
    }
    return false;
}

} // namespace

void reprogram() {
    stop_unless_firmware_unchanged("");
    std::fputs(around(loader_reply_text, reply).c_str(), stdout);
    // Where the operator decides, not at start-up, where it would scroll away.
    if (modem_manager_may_probe(port_fd)) {
        std::fputs(around(modem_manager_warning_text, shown_name(port_name)).c_str(), stdout);
    }
    std::fputs(image_warnings(firmware_name).c_str(), stdout);
    std::fputs(around(question_text, shown_name(firmware_name)).c_str(), stdout);
    if (!operator_confirms()) {
        send_command("STARTUP\r");
        std::fputs(aborted_text, stdout);
        fail(reset_modem_text);
    }
    stop_unless_firmware_unchanged("\r\n");
    std::FILE* firmware = open_image(image_file::firmware);
    if (firmware == nullptr) {
        fail_cannot_open(firmware_name);
    }

    std::fputs(do_not_touch_text, stdout);
    std::fputs(erasing_text, stdout);
    send_text("REPROGRAM\r");
    if (!flash_erased()) {
        std::fclose(firmware);
        if (!loader_ready) {
            fail_without_loader_answer();
        }
        fail_flash_incomplete(erase_failed_text);
    }
    upload_firmware(firmware, checked_digest(image_file::firmware));

    const int ready_count = send_command("X");
    if (ready_count < 1 || !reply_contains("READY")) {
        fail_flash_incomplete(loader_not_started_text);
    }
    if (send_command("STARTUP\r") == 0) {
        fail(restart_failed_text);
    }
    std::fputs(flash_loaded_text, stdout);
    std::fputs(resetting_text, stdout);
    pause_ms(reset_pause_ms);
    send_command("AT&F1\r");
    send_command("AT&F1\r");
    if (!reply_contains("OK")) {
        std::fputs(reset_modem_text, stdout);
    }
}
