#include "documents.h"
#include "flight_time.h"
#include "landmarks.h"

namespace {

std::string coordinate(const flight_point& p)
{
    return shortest_text(p.frame.longitude) + ',' + shortest_text(p.frame.latitude) + ',' +
           std::to_string(p.frame.altitude);
}

// KML colours are aabbggrr.
void add_style(pugi::xml_node document, const char* id, const char* line, const char* fill)
{
    pugi::xml_node style = document.append_child("Style");
    style.append_attribute("id").set_value(id);
    pugi::xml_node line_style = style.append_child("LineStyle");
    line_style.append_child("color").text().set(line);
    line_style.append_child("width").text().set("3");
    style.append_child("PolyStyle").append_child("color").text().set(fill);
}

}  // namespace

pugi::xml_document kml_document(const flight& f, const std::string& title)
{
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");
    pugi::xml_node kml = document.append_child("kml");
    kml.append_attribute("xmlns").set_value("http://www.opengis.net/kml/2.2");
    pugi::xml_node doc = kml.append_child("Document");
    doc.append_child("name").text().set(title.c_str());
    add_style(doc, "path", "ff2929d6", "4d2929d6");
    add_style(doc, "place", "ffb4771f", "ffb4771f");
    if (f.points.empty()) return document;

    pugi::xml_node path = doc.append_child("Placemark");
    path.append_child("name").text().set("Flight path");
    path.append_child("styleUrl").text().set("#path");
    pugi::xml_node line = path.append_child("LineString");
    line.append_child("extrude").text().set("1");
    line.append_child("altitudeMode").text().set("absolute");
    std::string coordinates;
    coordinates.reserve(f.points.size() * 32);
    for (const flight_point& p : f.points) {
        if (!coordinates.empty()) coordinates += ' ';
        coordinates += coordinate(p);
    }
    line.append_child("coordinates").text().set(coordinates.c_str());

    for (const landmark& mark : landmarks_of(f)) {
        const flight_point& p = f.points[mark.index];
        pugi::xml_node place = doc.append_child("Placemark");
        place.append_child("name").text().set(mark.name);
        const std::string description = iso8601_local(p.local_time, f.utc_offset) + ", " +
                                        std::to_string(p.frame.altitude) + " m";
        place.append_child("description").text().set(description.c_str());
        place.append_child("TimeStamp").append_child("when").text().set(iso8601_utc(p.utc_time).c_str());
        place.append_child("styleUrl").text().set("#place");
        pugi::xml_node point = place.append_child("Point");
        point.append_child("altitudeMode").text().set("absolute");
        point.append_child("coordinates").text().set(coordinate(p).c_str());
    }
    return document;
}
