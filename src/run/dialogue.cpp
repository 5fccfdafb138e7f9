#include "run/dialogue.h"

#include "line/exchange.h"
#include "line/port.h"
#include "line/port_holders.h"
#include "run/exits.h"
#include "run/image_check.h"
#include "run/image_files.h"
#include "run/probe.h"
#include "run/shown_name.h"
#include "run/state.h"
#include "transfer/upload.h"

#include <cctype>
#include <cstdio>

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
    std::printf("%sFirmware file [%s] changed after romup checked it: the Flash was not "
                "touched\r\nPlease reset your modem to continue\r\n",
                before, shown_name(firmware_name).c_str());
    fail(nullptr);
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
    std::printf("\r\n%s\r\n\n", reply);
    // Where the operator decides, not at start-up, where it would scroll away.
    if (modem_manager_may_probe(port_fd)) {
        std::printf("Warning: ModemManager runs and may probe [%s] with AT commands of its own: "
                    "stop it for the run or mark the port ID_MM_DEVICE_IGNORE=1 in a udev rule "
                    "(README: ModemManager probing the modem)\r\n",
                    shown_name(port_name).c_str());
    }
    warn_about_image(firmware_name);
    std::printf("Ready to transfer [%s] to the Flash. Reprogram [Y/N]? ",
                shown_name(firmware_name).c_str());
    if (!operator_confirms()) {
        send_command("STARTUP\r");
        std::fputs("\r\nAborted\r\nPlease reset your modem to continue\r\n", stdout);
        fail(nullptr);
    }
    stop_unless_firmware_unchanged("\r\n");
    std::FILE* firmware = open_image(image_file::firmware);
    if (firmware == nullptr) {
        fail_cannot_open(firmware_name);
    }

    std::fputs("\r\n\n\nDo NOT touch your computer or modem!\r\n\n\nErasing Flash\r\n", stdout);
    send_text("REPROGRAM\r");
    if (!flash_erased()) {
        std::fclose(firmware);
        // In re-load mode "X" may have reached a modem that runs its own
        // firmware: it took "REPROGRAM" for noise and erased nothing.
        if (!loader_ready) {
            fail("Error while erasing Flash\r\nNo loader answered in the modem: the Flash was "
                 "not erased. Run romup without -c\r\n");
        }
        fail_flash_incomplete("Error while erasing Flash\r\n");
    }
    upload_firmware(firmware, checked_digest(image_file::firmware));

    const int ready_count = send_command("X");
    if (ready_count < 1 || !reply_contains("READY")) {
        fail_flash_incomplete("Error while starting loader\r\n");
    }
    if (send_command("STARTUP\r") == 0) {
        fail("Error while restarting modem\r\n");
    }
    std::fputs("New firmware code was successfully loaded to the Flash\r\n"
               "Trying to reset the modem...\r\n",
               stdout);
    pause_ms(reset_pause_ms);
    send_command("AT&F1\r");
    send_command("AT&F1\r");
    if (!reply_contains("OK")) {
        std::fputs("Please reset your modem to continue\r\n", stdout);
    }
}
