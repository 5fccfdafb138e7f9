// The expected framing of an image on the line, written from the rules and not from romup's
// code, to compare the bytes romup sends with. An image line is what fgets with 1024 gives:
// at most 1023 bytes, up to and including an LF.
#pragma once

#include <string>
#include <vector>

// The image lines of content, in order; none for empty content.
std::vector<std::string> image_lines(const std::string& content);

// One image line as it goes on the line. Loader: the text before the first LF and NUL, and a
// CR unless it holds one; firmware: the text before the first LF, CR or NUL, and a CR.
std::string framed(const std::string& line, bool loader);

// A whole image as it goes on the line, and its count of lines (acknowledgements owed).
struct framing {
    std::string bytes;
    int lines = 0;
};
framing frame(const std::string& content, bool loader);

// The percentages an upload of content shows: after each image line, the
// share of the bytes read, each value once, never 0.
std::vector<int> percents_of(const std::string& content);
