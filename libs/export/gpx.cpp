#include "documents.h"
#include "flight_time.h"
#include "landmarks.h"
#include "text_safety.h"
#include "xml_pieces.h"
#include "zarim_version.h"

namespace {

void set_position(pugi::xml_node node, const flight_point& p)
{
    node.append_attribute("lat").set_value(shortest_text(p.frame.latitude).c_str());
    node.append_attribute("lon").set_value(shortest_text(p.frame.longitude).c_str());
    node.append_child("ele").text().set(p.frame.altitude);
    node.append_child("time").text().set(iso8601_utc(p.utc_time).c_str());
}

// The document up to its track's segments, and after them.
xml_envelope gpx_envelope(const flight& f, const std::string& title)
{
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");

    pugi::xml_node gpx = document.append_child("gpx");
    gpx.append_attribute("version").set_value("1.1");
    gpx.append_attribute("creator").set_value((std::string("zarim-export ") + zarim_version).c_str());
    gpx.append_attribute("xmlns").set_value("http://www.topografix.com/GPX/1/1");
    gpx.append_attribute("xmlns:xsi").set_value("http://www.w3.org/2001/XMLSchema-instance");
    gpx.append_attribute("xsi:schemaLocation")
        .set_value("http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd");

    const std::vector<landmark> places = landmarks_of(f);
    pugi::xml_node metadata = gpx.append_child("metadata");
    metadata.append_child("name").text().set(title.c_str());
    if (!f.points.empty())
        metadata.append_child("time").text().set(iso8601_utc(f.points.front().utc_time).c_str());

    // The schema puts waypoints before tracks, and in each point the
    // elevation and time before the satellites.
    for (const landmark& mark : places) {
        pugi::xml_node wpt = gpx.append_child("wpt");
        set_position(wpt, f.points[mark.index]);
        wpt.append_child("name").text().set(mark.name);
        wpt.append_child("type").text().set(mark.role);
    }
    pugi::xml_node track = gpx.append_child("trk");
    track.append_child("name").text().set(title.c_str());
    mark_pieces(track);
    return envelope_of(document);
}

}  // namespace

void write_gpx(std::ostream& out, const flight& f, const std::string& title)
{
    const xml_envelope document = gpx_envelope(f, utf8_text(title));
    pugi::xml_document segment_skeleton;
    mark_pieces(segment_skeleton.append_child("trkseg"));
    const xml_envelope segment = envelope_of(segment_skeleton.first_child(), 2);

    out << document.head;
    const std::vector<flight_point>& points = f.points;
    pugi::xml_document piece;
    for (std::size_t start = 0; start < points.size();) {
        std::size_t end = start + 1;
        while (end < points.size() &&
               points[end].local_time - points[end - 1].local_time <= segment_gap_seconds)
            ++end;
        out << segment.head;
        for (std::size_t from = start; from < end; from += points_per_piece) {
            piece.reset();
            const std::size_t to = std::min(end, from + points_per_piece);
            for (std::size_t i = from; i < to; ++i) {
                pugi::xml_node point = piece.append_child("trkpt");
                set_position(point, points[i]);
                point.append_child("sat").text().set(points[i].frame.satellites);
            }
            write_children(out, piece, 3);
        }
        out << segment.tail;
        start = end;
    }
    out << document.tail;
}
