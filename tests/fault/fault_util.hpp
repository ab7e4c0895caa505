// What the fault tests share: the figures a kill loop prints, reading a killed writer's
// reports, the temporary files of a target, and the domain keys of a running cipher.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fault_test {

using Keys = std::map<std::string, std::string>;

// A writer child reports, one line each: "R" when it is ready to write, "S <what> <value>"
// before a save, "A <what> <value>" once the save has returned 0, "F <what> <status>" when it
// failed (and then it exits).
struct Reports {
    std::vector<std::pair<std::string, std::string>> acknowledged;  // in order
    std::optional<std::pair<std::string, std::string>> in_flight;   // begun, not seen to return
    std::optional<std::string> failure;                             // the F line
};
Reports read_reports(const std::vector<std::string> &lines);

// The temporary files that a replacement of `target` makes beside it ("<target>.tmp.XXXXXX").
std::vector<std::string> temporaries_of(const std::string &dir, const std::string &target);

// Every domain key of the running cipher, name to bytes.
Keys domain_keys();

// The text as lines without their line feeds, sorted; false in `whole` when the text does not
// end with a line feed (a torn last line).
std::vector<std::string> sorted_lines(const std::string &text, bool &whole);

// The figures of a kill loop: printed as one line "[fault] <loop> kills=... ..." that
// scripts/fault-keystore.sh collects.
struct Figures {
    int kills = 0;
    long acknowledged = 0;           // saves the writer saw return 0
    int temporaries = 0;             // kills after which a temporary file was left
    int in_flight = 0;               // kills that landed in a save under way
    int unacknowledged_on_disk = 0;  // of these, saves that were on disk already
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    void print(const char *loop, unsigned seed) const;
};

}  // namespace fault_test
