// The stations panel of a map fed through the broker: each station with
// what it heard, a marker where it stands, and the input refused. It reads
// the status map.js receives (the zarim-status event) and keeps to its own
// section, so that it needs nothing else of the page.
'use strict';

(function () {
  const markers = new Map();
  let shown = null;  // the sharing status, and when it came
  let ticking = null;

  function $(id) {
    return document.getElementById(id);
  }

  function ago(seconds) {
    if (seconds === null || seconds === undefined) return '–';
    if (seconds < 60) return `${Math.round(seconds)} s`;
    if (seconds < 3600) return `${Math.floor(seconds / 60)} min`;
    if (seconds < 172800) return `${Math.floor(seconds / 3600)} h`;
    return `${Math.floor(seconds / 86400)} d`;
  }

  function cell(text, className) {
    const td = document.createElement('td');
    td.textContent = text;
    if (className) td.className = className;
    return td;
  }

  function showRows() {
    const body = $('stations').tBodies[0];
    const elapsed = (Date.now() - shown.at) / 1000;
    const rows = [];
    for (const station of shown.sharing.stations) {
      const tr = document.createElement('tr');
      tr.dataset.station = station.name;
      const since = station.seconds_since_heard === null ? null : station.seconds_since_heard + elapsed;
      tr.append(cell(station.name), cell(String(station.frames)), cell(String(station.frames_only_here)),
        cell(ago(since), since !== null && since > 30 ? 'warning' : ''));
      rows.push(tr);
    }
    body.replaceChildren(...rows);
  }

  function showMarkers(stations) {
    const leaflet = window.zarimLeaflet;
    if (!leaflet || !window.L) return;
    for (const station of stations) {
      if (!station.position) continue;
      const at = [station.position.latitude, station.position.longitude];
      let marker = markers.get(station.name);
      if (!marker) {
        marker = L.circleMarker(at, { radius: 6, color: '#2f6fde', weight: 2, fillOpacity: 0.5 })
          .bindTooltip(station.name).addTo(leaflet);
        markers.set(station.name, marker);
      } else {
        marker.setLatLng(at);
      }
    }
  }

  function refusedText(refused) {
    const parts = [];
    const kinds = [['too_large', 'too large'], ['unreadable', 'not ours'], ['unknown_topic', 'on no station\'s topic'],
      ['flood', 'beyond a station\'s share'], ['not_log_lines', 'not log lines'],
      ['too_many_stations', 'from stations beyond the most shown'], ['unrecordable', 'not recorded']];
    for (const [key, text] of kinds) {
      if (refused[key] > 0) parts.push(`${refused[key]} ${text}`);
    }
    if (parts.length === 0) return '';
    return `Refused from the broker: ${parts.join(', ')}` + (refused.last ? ` (last: ${refused.last})` : '');
  }

  window.addEventListener('zarim-status', (event) => {
    const sharing = event.detail.sharing;
    if (!sharing) return;
    $('stations-section').hidden = false;
    shown = { sharing, at: Date.now() };
    $('stations-connection').textContent = sharing.connection;
    const latest = sharing.latest_heard_by;
    $('stations-latest').textContent = latest.length ? `Latest frame heard by ${latest.join(', ')}` : 'No frame yet';
    $('stations-refused').textContent = refusedText(sharing.refused);
    showRows();
    showMarkers(sharing.stations);
    if (!ticking) ticking = setInterval(showRows, 1000);
  });
})();
