#include "run/probe.h"

#include "line/exchange.h"
#include "run/exits.h"
#include "run/image_files.h"
#include "run/state.h"
#include "texts/messages.h"
#include "transfer/upload.h"

#include <cstdio>

bool loader_ready = false;

void start_loader() {
    if (reload_mode) {
        std::fputs(reload_notice_text, stdout);
        // A running loader restarts itself on "X"; whatever it answers, even
        // nothing, is only shown to the operator.
        send_command("X");
        loader_ready = reply_contains("READY");
        return;
    }

    send_command("AT&F1\r");
    send_command("AT\r");
    // Echo off and numeric result codes: a modem that takes this answers "0".
    // A reply that fills the whole buffer is noise, not an answer.
    const int probe_count = send_command("AT&FE&D3V\r");
    if (probe_count < 1 || probe_count >= reply_max_length || !reply_contains("0")) {
        fail(modem_silent_text);
    }

    std::FILE* loader = open_image(image_file::loader);
    if (loader == nullptr) {
        fail_cannot_open(loader_name);
    }
    upload_loader(loader, checked_digest(image_file::loader));

    const int ready_count = read_reply(reply, reply_max_length);
    if (ready_count < 5 || !reply_contains("READY")) {
        fail(loader_not_started_text);
    }
    loader_ready = true;
}
