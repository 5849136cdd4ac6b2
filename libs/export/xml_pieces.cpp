#include "xml_pieces.h"

#include <stdexcept>

namespace {

const char* const indent = "  ";
const char* const mark = "zarim:pieces";

class string_writer final : public pugi::xml_writer {
public:
    void write(const void* data, std::size_t size) override
    {
        text_.append(static_cast<const char*>(data), size);
    }
    [[nodiscard]] const std::string& text() const { return text_; }

private:
    std::string text_;
};

xml_envelope cut(const std::string& text)
{
    const std::string comment = std::string("<!--") + mark + "-->";
    const std::size_t at = text.find(comment);
    if (at == std::string::npos) throw std::logic_error("a document skeleton without its mark");
    const std::size_t line_start = text.rfind('\n', at);
    const std::size_t line_end = text.find('\n', at);
    xml_envelope envelope;
    envelope.head = text.substr(0, line_start == std::string::npos ? 0 : line_start + 1);
    envelope.tail = line_end == std::string::npos ? std::string() : text.substr(line_end + 1);
    return envelope;
}

}  // namespace

void mark_pieces(pugi::xml_node parent)
{
    parent.append_child(pugi::node_comment).set_value(mark);
}

xml_envelope envelope_of(const pugi::xml_document& skeleton)
{
    string_writer writer;
    skeleton.save(writer, indent, xml_format, pugi::encoding_utf8);
    return cut(writer.text());
}

xml_envelope envelope_of(pugi::xml_node element, unsigned int depth)
{
    string_writer writer;
    element.print(writer, indent, xml_format, pugi::encoding_utf8, depth);
    return cut(writer.text());
}

void write_children(std::ostream& out, const pugi::xml_document& piece, unsigned int depth)
{
    pugi::xml_writer_stream writer(out);
    for (const pugi::xml_node child : piece.children())
        child.print(writer, indent, xml_format, pugi::encoding_utf8, depth);
}

void write_document(std::ostream& out, const pugi::xml_document& document)
{
    pugi::xml_writer_stream writer(out);
    document.save(writer, indent, xml_format, pugi::encoding_utf8);
}
