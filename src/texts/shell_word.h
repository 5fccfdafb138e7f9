// Text for the operator to paste into a shell: at the moment the modem needs
// the re-load command, a blank, a quote or a ";" in a name must neither split
// the command nor run another one.
#pragma once

#include <string>

// text as one word that a POSIX shell reads back exactly: as it is when it
// holds nothing but letters, digits and _ - . / , : = + @ % and bytes from
// 0x80 (UTF-8); otherwise in single quotes, a quote inside as '\''; and when
// it holds a byte below 0x20 or 0x7F, in the $'...' form of bash, ksh and
// zsh, those bytes as shown_name shows them (\n, \033), so that nothing in
// it reaches the terminal raw.
std::string shell_word(const char* text);

// shell_word for text that must stay valid UTF-8 (a JSON string): the same
// word, but a byte that is no part of well-formed UTF-8 also takes the $'...'
// form, written as \xHH, so that bash reads back every byte exactly.
std::string shell_word_utf8(const char* text);
