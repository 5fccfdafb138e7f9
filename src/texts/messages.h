// What romup says on its standard output, each text once: romup prints from
// these constants, romup-fleet reads romup's output by them, and the tests
// compare with them. Each constant is one line (or a few) exactly as printed,
// with the line ends and blank lines around it: a message that interrupts a
// progress line begins with CR LF. A message around a name is a named_text,
// the name going between its two halves as shown_name shows it.
#pragma once

#include <string>

struct named_text {
    const char* before;
    const char* after;
};

// before, then middle as it is, then after.
std::string around(const named_text& text, const std::string& middle);

// The text without the CRs and LFs at its ends: the line as a reader of the
// output sees it between its line ends.
std::string line_of(const char* text);

// The loader romup takes when no -l names one, in the folder it runs in.
constexpr char default_loader_text[] = "ramagent.hex";

// Start-up and the command line.
constexpr char banner_text[] = "\r\nFlash loader for Tavrin 3306 modems version 1.5."
                               " Keep the modem powered until the run ends.\r\n\n";
constexpr char usage_text[] =
    "usage:\r\n romup [-c] -p<port> -f<firmware> [-s<speed>] [-l<loader>]\r\n";
constexpr char no_memory_text[] = "Not enough memory\r\n";
constexpr named_text cannot_open_text = {"Can not open [", "]\r\n"};
constexpr named_text firmware_empty_text = {"Firmware file [", "] is empty\r\n"};
constexpr named_text port_in_use_text = {"Port [", "] is in use by another program\r\n"};

// The probe and the loader.
constexpr char modem_silent_text[] = "Modem does not respond\r\n";
constexpr char reload_notice_text[] = "Trying to re-load firmware code\r\n";
constexpr char loader_refused_text[] = "\r\nError while loading code\r\n";
constexpr char loader_not_started_text[] = "Error while starting loader\r\n";

// The progress lines: a heading that shows 0%, rewritten in place by updates
// (four backspaces, the percentage in three columns, "%"), ended by CR LF.
constexpr char loader_heading_text[] = "Moving loader code to the RAM -   0%";
constexpr char firmware_heading_text[] = "Loading new firmware code to the Flash -   0%";
constexpr char progress_update_format[] = "\b\b\b\b%3lld%%";
constexpr char progress_end_text[] = "\r\n";

// The question, and what leads up to it: the loader's last reply as it came,
// a warning about the port, the firmware's warnings (image_check.h).
constexpr named_text loader_reply_text = {"\r\n", "\r\n\n"};
constexpr char warning_prefix[] = "Warning: ";
constexpr named_text modem_manager_warning_text = {
    "Warning: ModemManager runs and may probe [",
    "] with AT commands of its own: stop it for the run or mark the port ID_MM_DEVICE_IGNORE=1 "
    "in a udev rule (README: ModemManager probing the modem)\r\n"};
constexpr named_text question_text = {"Ready to transfer [", "] to the Flash. Reprogram [Y/N]? "};

// A run that stops before the erase, the Flash untouched; each is followed by
// reset_modem_text.
constexpr char aborted_text[] = "\r\nAborted\r\n";
constexpr named_text firmware_changed_text = {
    "Firmware file [", "] changed after romup checked it: the Flash was not touched\r\n"};
constexpr char reset_modem_text[] = "Please reset your modem to continue\r\n";

// The erase and the upload.
constexpr char do_not_touch_text[] = "\r\n\n\nDo NOT touch your computer or modem!\r\n\n\n";
constexpr char erasing_text[] = "Erasing Flash\r\n";
constexpr char erase_failed_text[] = "Error while erasing Flash\r\n";
constexpr char flash_refused_text[] = "\r\nError while loading Flash\r\n";

// The hint after a failure past the erase: the loader still runs in the
// modem's RAM, and only a re-load at once can complete the Flash. The command
// line is reload_command_text's.
constexpr char flash_incomplete_text[] =
    "\r\nThe Flash is incomplete. Keep the modem powered: the loader still runs in its RAM.\r\n";
constexpr char run_reload_text[] = "Run romup again at once in re-load mode:\r\n";
constexpr char firmware_gone_text[] =
    "The firmware came from a pipe, which is gone: name it again in place of <firmware>\r\n";
// In a command line, in place of the name of a firmware that came from a pipe.
constexpr char firmware_placeholder[] = "<firmware>";

// In re-load mode, an erase that did not end while no loader had answered
// "READY" to "X": romup cannot tell a modem that runs its own firmware (which
// took "REPROGRAM" for noise) from a loader whose answer came late and which
// may be erasing now, so it gives both ways on.
constexpr char no_loader_answered_text[] =
    "No loader answered READY to X: the erase may not have begun.\r\n";
constexpr char if_loader_runs_text[] =
    "If a loader runs in the modem, keep the modem powered and re-load at once:\r\n";
constexpr char if_own_firmware_text[] =
    "If the modem runs its own firmware, run romup without -c:\r\n";

// The restart and the reset.
constexpr char restart_failed_text[] = "Error while restarting modem\r\n";
constexpr char flash_loaded_text[] = "New firmware code was successfully loaded to the Flash\r\n";
constexpr char resetting_text[] = "Trying to reset the modem...\r\n";

// "  romup -c[ -w] -pPORT -fFIRMWARE -sRATE\r\n", each name one shell word
// (shell_word.h); a null firmware, one that came from a pipe, as
// firmware_placeholder.
std::string reload_command_text(const char* port, const char* firmware, long rate,
                                bool sleeping_waits);

// "  romup[ -w] -pPORT -fFIRMWARE -sRATE[ -lLOADER]\r\n": the normal run, with
// the loader named unless it is null.
std::string normal_command_text(const char* port, const char* firmware, long rate,
                                bool sleeping_waits, const char* loader);
