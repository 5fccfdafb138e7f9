// romup-fleet's reading of romup's output, on any bytes: the first byte is
// romup's exit status, the rest what it printed. The reading never crashes,
// and never says more than the bytes hold: a run is erased only where romup
// printed its erase notice in its place, flashed only after its success
// message, asked only when its question ends the output.
#include "romup_output.h"
#include "texts/messages.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const std::string firmware = "/tmp/romup-fleet-Ab12/firmware.hex";

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool holds(const std::string& out, const char* text) {
    return out.find(text) != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int status = static_cast<int>(data[0] % 4) - 1;
    const std::string out(reinterpret_cast<const char*>(data) + 1, size - 1);
    const output_reading seen = read_output(out, firmware);
    require(!seen.erased || holds(out, erasing_text));
    require(!seen.flashed || holds(out, flash_loaded_text));
    const std::string question = around(question_text, firmware);
    require(!seen.asked ||
            (out.size() >= question.size() &&
             out.compare(out.size() - question.size(), question.size(), question) == 0));
    const std::string result = run_result(seen, status, 9);
    require(!result.empty());
    require(!needs_reload(seen, status) || seen.erased);
    return 0;
}
