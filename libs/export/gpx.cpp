#include "documents.h"
#include "flight_time.h"
#include "landmarks.h"
#include "zarim_version.h"

namespace {

void set_position(pugi::xml_node node, const flight_point& p)
{
    node.append_attribute("lat").set_value(shortest_text(p.frame.latitude).c_str());
    node.append_attribute("lon").set_value(shortest_text(p.frame.longitude).c_str());
    node.append_child("ele").text().set(std::to_string(p.frame.altitude).c_str());
    node.append_child("time").text().set(iso8601_utc(p.utc_time).c_str());
}

}  // namespace

pugi::xml_document gpx_document(const flight& f, const std::string& title)
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

    pugi::xml_node metadata = gpx.append_child("metadata");
    metadata.append_child("name").text().set(title.c_str());
    if (!f.points.empty())
        metadata.append_child("time").text().set(iso8601_utc(f.points.front().utc_time).c_str());

    // The schema puts waypoints before tracks, and in each point the
    // elevation and time before the satellites.
    if (!f.points.empty()) {
        for (const landmark& mark : landmarks_of(f)) {
            pugi::xml_node wpt = gpx.append_child("wpt");
            set_position(wpt, f.points[mark.index]);
            wpt.append_child("name").text().set(mark.name);
            wpt.append_child("type").text().set(mark.role);
        }
    }
    pugi::xml_node track = gpx.append_child("trk");
    track.append_child("name").text().set(title.c_str());
    pugi::xml_node segment = track.append_child("trkseg");
    for (const flight_point& p : f.points) {
        pugi::xml_node point = segment.append_child("trkpt");
        set_position(point, p);
        point.append_child("sat").text().set(std::to_string(p.frame.satellites).c_str());
    }
    return document;
}
