#include "documents.h"
#include "flight_time.h"
#include "landmarks.h"
#include "text_safety.h"
#include "xml_pieces.h"

namespace {

std::string coordinates_text(double longitude, double latitude, double altitude)
{
    return shortest_text(longitude) + ',' + shortest_text(latitude) + ',' + shortest_text(altitude);
}

// KML colours are aabbggrr. One style per kind of place, the path's own.
struct style {
    const char* id;
    const char* colour;
};
const style styles[] = {{"path", "ff2929d6"},           {"launch", "ff2c9e2e"},
                        {"burst", "ff2d31d0"},          {"landing", "ff1f77b4"},
                        {"last_fix", "ff00d4ff"},       {"predicted_landing", "ffc800c8"},
                        {"predicted_path", "ffc800c8"}, {"landing_radius", "ffc800c8"},
                        {"station", "ffde6f2f"}};

void add_styles(pugi::xml_node document)
{
    for (const style& s : styles) {
        pugi::xml_node node = document.append_child("Style");
        node.append_attribute("id").set_value(s.id);
        node.append_child("IconStyle").append_child("color").text().set(s.colour);
        pugi::xml_node line = node.append_child("LineStyle");
        line.append_child("color").text().set(s.colour);
        line.append_child("width").text().set(3);
    }
}

pugi::xml_node add_place(pugi::xml_node document, const std::string& name, const std::string& description,
                         const std::string& role, const std::string& coordinates)
{
    pugi::xml_node place = document.append_child("Placemark");
    place.append_child("name").text().set(name.c_str());
    place.append_child("description").text().set(description.c_str());
    place.append_child("styleUrl").text().set(("#" + role).c_str());
    pugi::xml_node point = place.append_child("Point");
    point.append_child("altitudeMode").text().set("absolute");
    point.append_child("coordinates").text().set(coordinates.c_str());
    return place;
}

pugi::xml_node add_line(pugi::xml_node document, const std::string& name, const std::string& description,
                        const std::string& role, const std::vector<geo_position>& line)
{
    pugi::xml_node place = document.append_child("Placemark");
    place.append_child("name").text().set(name.c_str());
    place.append_child("description").text().set(description.c_str());
    place.append_child("styleUrl").text().set(("#" + role).c_str());
    pugi::xml_node string = place.append_child("LineString");
    string.append_child("altitudeMode").text().set("absolute");
    std::string coordinates;
    for (const geo_position& p : line) {
        if (!coordinates.empty()) coordinates += ' ';
        coordinates += coordinates_text(p.longitude, p.latitude, p.altitude);
    }
    string.append_child("coordinates").text().set(coordinates.c_str());
    return place;
}

xml_envelope kml_envelope(const flight& f, const std::string& title,
                          const std::vector<extra_place>& extras)
{
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");
    pugi::xml_node kml = document.append_child("kml");
    kml.append_attribute("xmlns").set_value("http://www.opengis.net/kml/2.2");
    kml.append_attribute("xmlns:gx").set_value("http://www.google.com/kml/ext/2.2");
    pugi::xml_node doc = kml.append_child("Document");
    doc.append_child("name").text().set(title.c_str());
    add_styles(doc);
    if (f.points.size() >= 2) {
        pugi::xml_node path = doc.append_child("Folder");
        path.append_child("name").text().set("Flight path");
        mark_pieces(path);
    }
    for (const landmark& mark : landmarks_of(f)) {
        const flight_point& p = f.points[mark.index];
        const std::string description = iso8601_local(p.local_time, f.utc_offset) + ", " +
                                        std::to_string(p.frame.altitude) + " m, frame " +
                                        std::to_string(p.frame.counter);
        pugi::xml_node place = add_place(doc, mark.name, description, mark.role,
                                         coordinates_text(p.frame.longitude, p.frame.latitude,
                                                          p.frame.altitude));
        // The schema puts the time before the style.
        place.insert_child_after("TimeStamp", place.child("description"))
            .append_child("when")
            .text()
            .set(iso8601_utc(p.utc_time).c_str());
    }
    for (const extra_place& extra : extras) {
        if (extra.line.empty()) {
            add_place(doc, utf8_text(extra.name), utf8_text(extra.description), utf8_text(extra.role),
                      coordinates_text(extra.position.longitude, extra.position.latitude,
                                       extra.position.altitude));
        } else {
            add_line(doc, utf8_text(extra.name), utf8_text(extra.description), utf8_text(extra.role), extra.line);
        }
    }
    // A document without a path still needs its mark, after everything.
    if (f.points.size() < 2) mark_pieces(doc);
    return envelope_of(document);
}

}  // namespace

void write_kml(std::ostream& out, const flight& f, const std::string& title,
               const std::vector<extra_place>& extras)
{
    const xml_envelope document = kml_envelope(f, utf8_text(title), extras);
    out << document.head;
    const std::vector<flight_point>& points = f.points;
    pugi::xml_document piece;
    // Each piece starts at the last point of the one before, so that the
    // line Google Earth draws has no break.
    for (std::size_t start = 0; points.size() >= 2 && start + 1 < points.size();) {
        const std::size_t end = std::min(points.size(), start + points_per_piece);
        piece.reset();
        pugi::xml_node place = piece.append_child("Placemark");
        place.append_child("name").text().set("Flight path");
        place.append_child("styleUrl").text().set("#path");
        pugi::xml_node track = place.append_child("gx:Track");
        track.append_child("altitudeMode").text().set("absolute");
        for (std::size_t i = start; i < end; ++i)
            track.append_child("when").text().set(iso8601_utc(points[i].utc_time).c_str());
        for (std::size_t i = start; i < end; ++i) {
            const log_record& r = points[i].frame;
            const std::string coordinates = shortest_text(r.longitude) + ' ' +
                                            shortest_text(r.latitude) + ' ' + std::to_string(r.altitude);
            track.append_child("gx:coord").text().set(coordinates.c_str());
        }
        write_children(out, piece, 3);
        start = end - 1;
    }
    out << document.tail;
}

void write_network_link(std::ostream& out, const std::string& track_url, int refresh_seconds)
{
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");
    pugi::xml_node kml = document.append_child("kml");
    kml.append_attribute("xmlns").set_value("http://www.opengis.net/kml/2.2");
    pugi::xml_node link_node = kml.append_child("NetworkLink");
    link_node.append_child("name").text().set("Zarim live flight");
    link_node.append_child("open").text().set(1);
    pugi::xml_node link = link_node.append_child("Link");
    link.append_child("href").text().set(utf8_text(track_url).c_str());
    link.append_child("refreshMode").text().set("onInterval");
    link.append_child("refreshInterval").text().set(refresh_seconds);
    write_document(out, document);
}
