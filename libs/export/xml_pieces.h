// Markup written in pieces. pugixml builds whole documents; a long flight's
// would hold every point in memory. So a writer builds the document's
// skeleton with a mark where the points go, prints it and cuts the text
// there, then prints the points a few thousand at a time between the two
// halves. Every text still passes through pugixml's escaping.
#pragma once

#include <ostream>
#include <pugixml.hpp>
#include <string>

// Indented, UTF-8, and without the control characters that XML 1.0 cannot
// carry even as references (pugixml would write them as &#1;).
inline constexpr unsigned int xml_format = pugi::format_indent | pugi::format_skip_control_chars;

// Marks where the pieces go: as the last child of `parent`.
void mark_pieces(pugi::xml_node parent);

struct xml_envelope {
    std::string head;  // everything before the mark's line
    std::string tail;  // everything after it
};

// A whole skeleton with its declaration, cut at its mark.
xml_envelope envelope_of(const pugi::xml_document& skeleton);

// One element of a skeleton, printed as if it stood at `depth`, cut at its
// mark: to open and close an element whose children come in pieces.
xml_envelope envelope_of(pugi::xml_node element, unsigned int depth);

// The children of `piece`, each printed at `depth`.
void write_children(std::ostream& out, const pugi::xml_document& piece, unsigned int depth);

// A small document whole, with its declaration.
void write_document(std::ostream& out, const pugi::xml_document& document);
