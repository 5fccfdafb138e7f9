// Words of a command line as a POSIX shell reads them back: what the fleet
// prints for the operator to paste, and what its logs record.
#pragma once

#include <string>
#include <vector>

// word as is when it holds only characters no shell treats specially;
// otherwise in single quotes, each single quote in it as '\''.
std::string shell_quote(const std::string& word);

// The words, each quoted, separated by blanks.
std::string shell_command(const std::vector<std::string>& words);
