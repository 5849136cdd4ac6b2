// The live map page. Everything it shows comes from the server: the track
// from /track.geojson, each new frame from /events, and the antenna
// pointing from the frame events or from /look.json for this device's own
// position. The page computes no geodesy of its own.
'use strict';

(function () {
  const $ = (id) => document.getElementById(id);

  const state = {
    config: null,
    generation: 0,
    next: 0, // the sequence number of the next frame event wanted
    points: [], // {lat, lon, alt, clock}
    latest: null, // the latest frame event
    skew: 0, // server clock minus this device's clock, in ms
    stream: '', // 'shared' among the browser's tabs, or this tab's 'own'
    connection: 'connecting', // the stream's state
    loading: false, // the track is being loaded: events wait in pending
    pending: [],
    reloading: null,
    retry: null,
    device: null, // this device's position, once asked for
    watch: null,
    lookBusy: false,
    lookAgain: false,
    tilesLoaded: 0,
    tilesFailed: 0,
    fitted: false,
    profileQueued: false,
  };

  // ---- formatting ---------------------------------------------------------

  function fixed(value, places) {
    return value === null || value === undefined || !isFinite(value) ? '–' : Number(value).toFixed(places);
  }

  function signed(value, places) {
    if (value === null || value === undefined || !isFinite(value)) return '–';
    const text = Math.abs(value).toFixed(places);
    return (value < 0 ? '−' : value > 0 ? '+' : '') + text;
  }

  function metres(value) {
    if (value === null || value === undefined || !isFinite(value)) return '–';
    return Math.abs(value) >= 10000 ? (value / 1000).toFixed(2) + ' km' : Math.round(value) + ' m';
  }

  function duration(seconds) {
    const s = Math.max(0, Math.round(seconds));
    const h = Math.floor(s / 3600);
    const m = Math.floor((s % 3600) / 60);
    const rest = String(s % 60).padStart(2, '0');
    if (h > 0) return `${h} h ${String(m).padStart(2, '0')} min ${rest} s`;
    if (m > 0) return `${m} min ${rest} s`;
    return `${s} s`;
  }

  // The receiver's clock as a time of day: seconds since 1970 on that clock.
  function clockText(clock) {
    const s = ((clock % 86400) + 86400) % 86400;
    const two = (n) => String(Math.floor(n)).padStart(2, '0');
    return `${two(s / 3600)}:${two((s / 60) % 60)}:${two(s % 60)}`;
  }

  function setText(id, text) {
    const element = $(id);
    if (element && element.textContent !== text) element.textContent = text;
  }

  function setWarning(id, on) {
    const element = $(id);
    if (element) element.classList.toggle('warning', Boolean(on));
  }

  async function fetchJson(url) {
    const response = await fetch(url, { cache: 'no-store' });
    if (!response.ok) throw new Error(`${url}: HTTP ${response.status}`);
    return response.json();
  }

  // ---- the map ------------------------------------------------------------

  const map = { leaflet: null, track: null, latest: null, launch: null, burst: null, landing: null,
                station: null, device: null };

  // Lines of latitude and longitude at a spacing that suits the zoom, with
  // their values at the map's edges: a frame of reference when no tiles
  // can be had.
  function makeGraticule() {
    const steps = [45, 30, 15, 10, 5, 2, 1, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001,
                   0.0005, 0.0002, 0.0001];
    const layer = L.layerGroup();
    const label = (text, at, className) => L.marker(at, {
      interactive: false, keyboard: false, pane: 'graticule',
      icon: L.divIcon({ className: `graticule-label ${className}`, html: text, iconSize: null }),
    });
    const degrees = (value, positive, negative) => {
      const places = Math.max(0, Math.min(4, -Math.floor(Math.log10(Math.abs(value) || 1) - 1e-9) + 4));
      const text = Math.abs(value).toFixed(places).replace(/\.?0+$/, '');
      return `${text}°${value > 0 ? positive : value < 0 ? negative : ''}`;
    };
    const redraw = () => {
      layer.clearLayers();
      const bounds = map.leaflet.getBounds();
      const south = Math.max(bounds.getSouth(), -85);
      const north = Math.min(bounds.getNorth(), 85);
      const west = bounds.getWest();
      const east = bounds.getEast();
      const wanted = Math.max(north - south, east - west) / 6;
      const step = steps.find((s) => s <= wanted) || steps[steps.length - 1];
      const style = { color: '#7d8b96', weight: 1, opacity: 0.55, interactive: false, pane: 'graticule' };
      const places = Math.max(0, -Math.floor(Math.log10(step)));
      for (let lat = Math.ceil(south / step) * step; lat <= north; lat += step) {
        const at = Number(lat.toFixed(places + 1));
        layer.addLayer(L.polyline([[at, west], [at, east]], style));
        // Labels away from the corner where the two kinds would meet.
        if (map.leaflet.latLngToContainerPoint([at, east]).y > 24) {
          layer.addLayer(label(degrees(at, 'N', 'S'), [at, east], 'graticule-latitude'));
        }
      }
      for (let lon = Math.ceil(west / step) * step; lon <= east; lon += step) {
        const at = Number(lon.toFixed(places + 1));
        const shown = ((at + 540) % 360) - 180;
        layer.addLayer(L.polyline([[south, at], [north, at]], style));
        if (map.leaflet.latLngToContainerPoint([north, at]).x < map.leaflet.getSize().x - 70) {
          layer.addLayer(label(degrees(shown, 'E', 'W'), [north, at], 'graticule-longitude'));
        }
      }
    };
    map.leaflet.on('moveend', redraw);
    layer.addTo(map.leaflet);
    redraw();
    return layer;
  }

  function setUpMap() {
    if (!window.L) {
      setText('tiles-status', 'The map library could not be loaded: only the panel is shown.');
      document.body.dataset.tiles = 'none';
      return;
    }
    map.leaflet = L.map('map', { worldCopyJump: true }).setView([0, 0], 2);
    window.zarimLeaflet = map.leaflet;
    map.leaflet.on('movestart zoomstart', () => { state.moving = true; });
    map.leaflet.on('moveend', () => {
      state.moving = false;
      state.movedAt = performance.now();
    });
    map.leaflet.createPane('graticule').style.zIndex = 350;
    const tiles = L.tileLayer(state.config.tiles, {
      maxZoom: 19,
      attribution: state.config.attribution || '',
    });
    tiles.on('tileload', () => {
      state.tilesLoaded += 1;
      showTiles();
    });
    tiles.on('tileerror', () => {
      state.tilesFailed += 1;
      showTiles();
    });
    tiles.addTo(map.leaflet);
    L.control.scale({ imperial: false, maxWidth: 160 }).addTo(map.leaflet);
    makeGraticule();

    map.track = L.polyline([], { color: '#d0312d', weight: 3, className: 'track-line' }).addTo(map.leaflet);
    const dot = (fill, title) => L.circleMarker([0, 0], {
      radius: 7, color: '#111', weight: 2, fillColor: fill, fillOpacity: 1,
    }).bindTooltip(title);
    map.launch = dot('#2e9e44', 'Launch');
    map.burst = dot('#d0312d', 'Burst');
    map.latest = dot('#ffd400', 'Latest fix');
    map.station = dot('#2f6fde', 'Station');
    map.device = dot('#8e44ad', 'This device');
    map.landing = L.marker([0, 0], {
      icon: L.divIcon({ className: 'landing-icon', html: '✕', iconSize: [24, 24] }),
      title: 'Landing estimate',
    }).bindTooltip('Landing estimate', { permanent: true, direction: 'auto', offset: [10, 0], className: 'landing-tooltip' });
  }

  function showTiles() {
    let text = '';
    let tiles = 'loading';
    if (state.tilesLoaded > 0) {
      tiles = 'loaded';
    } else if (state.tilesFailed > 0) {
      tiles = 'unavailable';
      text = 'Map tiles unavailable (no connection?): the track is drawn over a plain background.';
    }
    document.body.dataset.tiles = tiles;
    setText('tiles-status', text);
  }

  function placeMarker(marker, place, on) {
    if (!map.leaflet) return;
    if (on && place && isFinite(place.latitude) && isFinite(place.longitude)) {
      marker.setLatLng([place.latitude, place.longitude]);
      if (!map.leaflet.hasLayer(marker)) marker.addTo(map.leaflet);
    } else if (map.leaflet.hasLayer(marker)) {
      marker.remove();
    }
  }

  function drawTrack() {
    if (!map.leaflet) return;
    map.track.setLatLngs(state.points.map((p) => [p.lat, p.lon]));
    const element = map.track.getElement();
    if (element) element.dataset.points = String(state.points.length);
    if (state.points.length === 0) return;
    if (!state.fitted) {
      state.fitted = true;
      showWholeFlight();
    }
  }

  // Everything there is to see: the track, the landing estimate, the
  // station and this device.
  function showWholeFlight() {
    if (!map.leaflet) return;
    const bounds = L.latLngBounds(state.points.map((p) => [p.lat, p.lon]));
    for (const marker of [map.landing, map.station, map.device]) {
      if (map.leaflet.hasLayer(marker)) bounds.extend(marker.getLatLng());
    }
    if (!bounds.isValid()) return;
    if (bounds.getNorthEast().equals(bounds.getSouthWest())) {
      map.leaflet.setView(bounds.getCenter(), 13);
    } else {
      map.leaflet.fitBounds(bounds, { padding: [60, 60], maxZoom: 15 });
    }
  }

  // The payload, and where it is expected to land, stay in view: the map
  // pans, and zooms out only when both no longer fit.
  function keepPayloadInView() {
    if (!map.leaflet || !$('follow').checked || state.points.length === 0) return;
    const last = state.points[state.points.length - 1];
    const wanted = L.latLngBounds([[last.lat, last.lon]]);
    if (map.leaflet.hasLayer(map.landing)) wanted.extend(map.landing.getLatLng());
    if (map.leaflet.getBounds().pad(-0.08).contains(wanted)) return;
    const zoom = Math.min(map.leaflet.getZoom(), map.leaflet.getBoundsZoom(wanted.pad(0.25)));
    map.leaflet.setView(wanted.getCenter(), zoom);
  }

  // ---- the altitude profile -----------------------------------------------

  const svgNs = 'http://www.w3.org/2000/svg';

  function svg(name, attributes, text) {
    const element = document.createElementNS(svgNs, name);
    for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
    if (text !== undefined) element.textContent = text;
    return element;
  }

  // Round steps (1, 2, 5 times a power of ten) that give a few ticks.
  function tickStep(span, count) {
    const raw = span / count;
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    return [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw) || raw;
  }

  function drawProfile() {
    state.profileQueued = false;
    const profile = $('profile');
    while (profile.firstChild) profile.removeChild(profile.firstChild);
    profile.dataset.points = String(state.points.length);
    const left = 46;
    const right = 312;
    const top = 8;
    const bottom = 146;
    if (state.points.length === 0) {
      profile.appendChild(svg('text', { x: 160, y: 80, 'text-anchor': 'middle', class: 'axis-text' }, 'No fix yet'));
      return;
    }
    const t0 = state.points[0].clock;
    const t1 = Math.max(state.points[state.points.length - 1].clock, t0 + 60);
    let low = Infinity;
    let high = -Infinity;
    for (const p of state.points) {
      low = Math.min(low, p.alt);
      high = Math.max(high, p.alt);
    }
    if (high - low < 100) high = low + 100;
    const x = (t) => left + ((t - t0) / (t1 - t0)) * (right - left);
    const y = (a) => bottom - ((a - low) / (high - low)) * (bottom - top);

    const altitudeStep = tickStep(high - low, 4);
    for (let a = Math.ceil(low / altitudeStep) * altitudeStep; a <= high; a += altitudeStep) {
      profile.appendChild(svg('line', { x1: left, x2: right, y1: y(a), y2: y(a), class: 'grid' }));
      profile.appendChild(svg('text', { x: left - 4, y: y(a) + 3, 'text-anchor': 'end', class: 'axis-text' },
        a >= 10000 ? `${a / 1000} km` : `${a} m`));
    }
    const timeStep = [60, 120, 300, 600, 900, 1800, 3600, 7200, 10800].find((s) => (t1 - t0) / s <= 4) || 21600;
    for (let t = Math.ceil(t0 / timeStep) * timeStep; t <= t1; t += timeStep) {
      profile.appendChild(svg('line', { x1: x(t), x2: x(t), y1: top, y2: bottom, class: 'grid' }));
      // A label that would run past the edge is left out.
      if (x(t) <= right - 12) {
        profile.appendChild(svg('text', { x: x(t), y: bottom + 12, 'text-anchor': 'middle', class: 'axis-text' },
          clockText(t).slice(0, 5)));
      }
    }
    profile.appendChild(svg('line', { x1: left, x2: right, y1: bottom, y2: bottom, class: 'axis' }));
    profile.appendChild(svg('line', { x1: left, x2: left, y1: top, y2: bottom, class: 'axis' }));
    profile.appendChild(svg('text', { x: right, y: bottom + 23, 'text-anchor': 'end', class: 'axis-text' },
      'receiver clock'));

    // Every point up to a few thousand; beyond that one in n, the last always.
    const stride = Math.max(1, Math.ceil(state.points.length / 4000));
    const coordinates = [];
    for (let i = 0; i < state.points.length; i += stride) {
      coordinates.push(`${x(state.points[i].clock).toFixed(1)},${y(state.points[i].alt).toFixed(1)}`);
    }
    if ((state.points.length - 1) % stride !== 0) {
      const last = state.points[state.points.length - 1];
      coordinates.push(`${x(last.clock).toFixed(1)},${y(last.alt).toFixed(1)}`);
    }
    profile.appendChild(svg('polyline', { points: coordinates.join(' '), class: 'profile-line' }));
    const last = state.points[state.points.length - 1];
    profile.appendChild(svg('circle', { cx: x(last.clock), cy: y(last.alt), r: 3, class: 'profile-latest' }));
  }

  function queueProfile() {
    if (state.profileQueued) return;
    state.profileQueued = true;
    requestAnimationFrame(drawProfile);
  }

  // ---- the panel ----------------------------------------------------------

  function showFrame(frame) {
    state.latest = frame;
    if (!frame) return;
    setText('counter', String(frame.counter));
    const gap = frame.gap === null || frame.gap === undefined ? '' : ` (+${frame.gap} s)`;
    setText('frame-time', frame.local_time.slice(11, 19) + gap);
    setWarning('frame-time', frame.gap_warning);
    setText('altitude', `${frame.altitude} m`);
    setText('climb', `${signed(frame.climb_rate, 2)} m/s`);
    setText('speed', `${fixed(frame.speed, 1)} km/h`);
    setText('satellites', String(frame.satellites));
    setText('temperature', `${signed(frame.temperature, 0)} °C`);
    setText('battery', `${fixed(frame.battery_voltage, 2)} V`);
    setWarning('battery', frame.battery_warning);
    setText('position', frame.position_usable
      ? `${fixed(frame.latitude, 5)}, ${fixed(frame.longitude, 5)}`
      : 'no usable fix in this frame');
    const stage = frame.stage || '';
    setText('stage', stage);
    $('stage').className = `badge stage-${stage}`;

    placeMarker(map.latest, state.points.length ? { latitude: state.points[state.points.length - 1].lat,
      longitude: state.points[state.points.length - 1].lon } : null, state.points.length > 0);
    placeMarker(map.launch, frame.launch, Boolean(frame.launch));
    placeMarker(map.burst, frame.burst, Boolean(frame.burst));
    showLanding(frame.landing_estimate);
    keepPayloadInView();
    if (!state.device) showLook(frame.station, 'station');
    else requestLook();
    showWarnings();
    showAge();
  }

  function showLanding(landing) {
    const section = $('landing-section');
    section.hidden = !landing;
    placeMarker(map.landing, landing, Boolean(landing));
    if (!landing) return;
    setText('landing-text',
      `In about ${duration(landing.seconds)} (${landing.local_time.slice(11, 19)} receiver clock) at ` +
      `${fixed(landing.latitude, 5)}, ${fixed(landing.longitude, 5)}; ` +
      `falling ${fixed(landing.descent_rate, 1)} m/s, drifting ${fixed(landing.drift_speed, 1)} m/s ` +
      `towards ${fixed(landing.drift_azimuth, 0)}°.`);
    if (map.landing) map.landing.setTooltipContent(`Landing estimate, in ${duration(landing.seconds)}`);
  }

  function showLook(look, source) {
    const sourceText = source === 'device' ? '(from this device)' : '(from the station)';
    if (!look || look.azimuth === null || look.azimuth === undefined) {
      for (const id of ['station-azimuth', 'station-elevation', 'station-slant-range', 'station-ground-distance']) {
        setText(id, '–');
      }
      setText('station-source', look ? sourceText : '');
      setText('station-note', look ? 'No fix yet.'
        : 'No station given: start zarim-map with --station LAT,LON[,ALT], or use this device\'s position.');
      return;
    }
    setText('station-source', sourceText);
    setText('station-azimuth', `${fixed(look.azimuth, 1)}°`);
    setText('station-elevation', `${fixed(look.elevation, 1)}°`);
    setText('station-slant-range', metres(look.slant_range));
    setText('station-ground-distance', metres(look.ground_distance));
    setText('station-note', look.station && look.station.altitude_assumed
      ? `Station height taken as the launch height (${Math.round(look.station.altitude)} m).` : '');
    const marker = source === 'device' ? map.device : map.station;
    placeMarker(marker, look.station, true);
  }

  // The antenna pointing from this device: asked of the server whenever
  // the device moves or a frame arrives, one request at a time.
  async function requestLook() {
    if (!state.device) return;
    if (state.lookBusy) {
      state.lookAgain = true;
      return;
    }
    state.lookBusy = true;
    try {
      const d = state.device;
      let url = `/look.json?latitude=${d.latitude}&longitude=${d.longitude}`;
      if (d.altitude !== null && d.altitude !== undefined && isFinite(d.altitude)) url += `&altitude=${d.altitude}`;
      showLook(await fetchJson(url), 'device');
    } catch (error) {
      setText('station-note', `Could not ask for the pointing: ${error.message}`);
    } finally {
      state.lookBusy = false;
      if (state.lookAgain) {
        state.lookAgain = false;
        requestLook();
      }
    }
  }

  function useDevicePosition() {
    if (!navigator.geolocation) {
      setText('station-note', 'This browser cannot tell its position.');
      return;
    }
    if (state.watch !== null) return;
    setText('station-note', 'Asking for this device\'s position…');
    state.watch = navigator.geolocation.watchPosition((position) => {
      state.device = {
        latitude: position.coords.latitude,
        longitude: position.coords.longitude,
        altitude: position.coords.altitude,
      };
      $('use-my-position').textContent = 'Following this device\'s position';
      requestLook();
    }, (error) => {
      // A moment without a fix (in a tunnel, say) is no reason to stop; only
      // a refusal is.
      setText('station-note', `No position from this device${error.message ? `: ${error.message}` : ' just now'}.`);
      if (error.code === error.PERMISSION_DENIED) {
        navigator.geolocation.clearWatch(state.watch);
        state.watch = null;
        $('use-my-position').textContent = 'Use this device\'s position';
      }
    }, { enableHighAccuracy: true, maximumAge: 5000 });
  }

  function ageSeconds() {
    if (!state.latest) return null;
    return (Date.now() + state.skew - state.latest.received_ms) / 1000;
  }

  function showAge() {
    const age = ageSeconds();
    if (age === null) return;
    setText('age', `${Math.max(0, Math.floor(age))} s ago`);
    setWarning('age', age > 30);
    showWarnings();
  }

  // The receiver's two warnings, and a third of the map's own: nothing
  // heard for more than 30 s.
  function showWarnings() {
    const frame = state.latest;
    const list = $('warnings');
    const wanted = [];
    if (frame && frame.gap_warning) wanted.push(['gap', `${frame.gap} s between the last two frames`]);
    if (frame && frame.battery_warning) wanted.push(['battery', `Battery low: ${fixed(frame.battery_voltage, 2)} V`]);
    const age = ageSeconds();
    if (age !== null && age > 30) wanted.push(['silence', `No frame for ${Math.floor(age)} s`]);
    const text = wanted.map((w) => w[1]).join('|');
    if (list.dataset.text === text) return;
    list.dataset.text = text;
    while (list.firstChild) list.removeChild(list.firstChild);
    for (const [kind, message] of wanted) {
      const item = document.createElement('li');
      item.className = `warning warning-${kind}`;
      item.textContent = message;
      list.appendChild(item);
    }
  }

  function showStatus(status) {
    if (!status) return;
    window.dispatchEvent(new CustomEvent('zarim-status', { detail: status }));
    const following = status.following ? status.following.split('/').pop() : null;
    let text = following ? `Following ${following}` : status.waiting || 'Waiting for a log';
    if (following) {
      text += ` · ${status.frames} frame${status.frames === 1 ? '' : 's'}`;
      if (status.files && status.files.length > 1) text += ` from ${status.files.length} files`;
    }
    setText('status', text);
    const problems = [];
    if (status.unreadable_lines > 0) {
      let problem = `${status.unreadable_lines} unreadable line${status.unreadable_lines === 1 ? '' : 's'} skipped`;
      if (status.last_problem) problem += ` (last: ${status.last_problem.file} line ${status.last_problem.line}: ${status.last_problem.reason})`;
      problems.push(problem);
    }
    if (status.impossible_positions > 0) {
      problems.push(`${status.impossible_positions} impossible position${status.impossible_positions === 1 ? '' : 's'} left off the track`);
    }
    setText('problems', problems.join('; '));
    $('problems').dataset.unreadable = String(status.unreadable_lines || 0);
  }

  function showTrackCount() {
    const n = state.points.length;
    setText('track-points', n === 0 ? 'No fix yet' : `Track: ${n} point${n === 1 ? '' : 's'}`);
    $('track-points').dataset.points = String(n);
  }

  function setConnection(text, kind) {
    setText('connection', text);
    document.body.dataset.connection = kind;
    $('connection').className = `badge connection-${kind}`;
  }

  // ---- loading and following ----------------------------------------------

  // "-03:00" as seconds east of UTC.
  function utcOffsetSeconds(text) {
    const match = /^([+-])(\d\d):(\d\d)$/.exec(text || '');
    if (!match) return 0;
    return (match[1] === '-' ? -1 : 1) * (Number(match[2]) * 3600 + Number(match[3]) * 60);
  }

  async function load() {
    const track = await fetchJson("/track.geojson");
    const live = track.zarim;
    state.skew = live.server_ms - Date.now();
    state.generation = live.generation;
    state.next = live.next_event;
    state.points = [];
    let station = null;
    let lastFix = null;
    // The receiver's clock: UTC moved by the offset the track carries.
    const offset = utcOffsetSeconds(track.utc_offset);
    const clockOf = (time) => Date.parse(time) / 1000 + offset;
    for (const feature of track.features) {
      const role = feature.properties.role;
      if (role === 'path') {
        // Each piece of the path starts with the point the one before ended on.
        const times = feature.properties.times;
        feature.geometry.coordinates.forEach((c, i) => {
          if (i === 0 && state.points.length > 0) return;
          state.points.push({ lat: c[1], lon: c[0], alt: c[2], clock: clockOf(times[i]) });
        });
      } else if (role === 'last_fix') {
        const c = feature.geometry.coordinates;
        lastFix = { lat: c[1], lon: c[0], alt: c[2], clock: clockOf(feature.properties.time) };
      } else if (role === 'station') {
        station = { latitude: feature.geometry.coordinates[1], longitude: feature.geometry.coordinates[0] };
      }
    }
    // A single fix makes no line: it is the last fix alone.
    if (state.points.length === 0 && lastFix) state.points.push(lastFix);
    state.fitted = false;
    drawTrack();
    placeMarker(map.station, station, Boolean(station));
    showTrackCount();
    queueProfile();
    showStatus(live.status);
    if (live.latest) {
      showFrame(live.latest);
    } else {
      showLook(state.config.station ? { station: state.config.station, azimuth: null } : null, 'station');
    }
    noteShown(live.latest);
  }

  // For anyone measuring: which frame the page shows, since when, and when
  // the browser next drew the page.
  function noteShown(frame) {
    if (!frame) return;
    document.body.dataset.shownCounter = String(frame.counter);
    const shown = { counter: frame.counter, line: frame.line, at: Date.now(), drawn: null };
    window.zarimShown = shown;
    requestAnimationFrame(() => {
      shown.drawn = Date.now();
    });
  }

  function onFrame(frame, id) {
    const sequence = Number(String(id).split(':')[1]);
    if (isFinite(sequence)) state.next = sequence + 1;
    if (frame.point !== null && frame.point !== undefined) {
      if (frame.point === state.points.length) {
        state.points.push({ lat: frame.latitude, lon: frame.longitude, alt: frame.altitude, clock: frame.clock_seconds });
        drawTrack();
        showTrackCount();
        queueProfile();
      } else if (frame.point < state.points.length) {
        // A frame earlier than the latest fix (a late line, another file):
        // the track is loaded again in its time order.
        reload();
        return;
      }
    }
    showFrame(frame);
    noteShown(frame);
  }

  // Every event, from the shared stream or this tab's own, in the order
  // sent. Frames are taken by their sequence numbers: those the loaded track
  // already holds are passed over, and a gap loads the track again.
  function onEvent(type, data, id) {
    if (state.loading) {
      state.pending.push([type, data, id]);
      return;
    }
    if (type === 'frame') {
      const [generation, sequence] = String(id).split(':').map(Number);
      if (generation < state.generation || (generation === state.generation && sequence < state.next)) return;
      if (generation !== state.generation || sequence > state.next) {
        reload();
        return;
      }
      onFrame(JSON.parse(data), id);
    } else if (type === 'status') {
      showStatus(JSON.parse(data));
    } else if (type === 'clock') {
      state.skew = JSON.parse(data).server_ms - Date.now();
    } else if (type === 'reset') {
      reload();
    }
  }

  function showConnection(kind) {
    state.connection = kind;
    setConnection(kind, kind);
  }

  // Loads the track; the events that come meanwhile wait, then go on from
  // it. One load at a time: a second call gets the first's promise.
  function reload() {
    if (state.reloading) return state.reloading;
    state.loading = true;
    state.reloading = load().then(() => true, () => false).then((loaded) => {
      state.reloading = null;
      state.loading = false;
      const pending = state.pending;
      state.pending = [];
      clearTimeout(state.retry);
      if (!loaded) {
        setConnection('offline', 'offline');
        state.retry = setTimeout(reload, 3000);
        return;
      }
      showConnection(state.connection);
      for (const [type, data, id] of pending) onEvent(type, data, id);
    });
    return state.reloading;
  }

  // A browser opens six connections to a server at most, so its tabs share
  // one stream, held by a shared worker (events.js). Without shared workers
  // (Chrome on Android) a tab holds a stream of its own while it is visible:
  // a phone shows one tab at a time.
  function follow() {
    if (window.SharedWorker) {
      try {
        const worker = new SharedWorker('/events.js');
        state.stream = 'shared';
        worker.port.addEventListener('message', (m) => {
          if (m.data.type === 'connection') showConnection(m.data.kind);
          else onEvent(m.data.type, m.data.data, m.data.id);
        });
        worker.port.start();
        window.addEventListener('pagehide', () => worker.port.postMessage('bye'));
        reload();
        return;
      } catch (error) {
        // No worker to be had here: a stream of the tab's own.
      }
    }
    state.stream = 'own';
    let events = null;
    let retry = null;
    const close = () => {
      clearTimeout(retry);
      if (events) events.close();
      events = null;
    };
    const open = () => {
      close();
      events = new EventSource(`/events?generation=${state.generation}&from=${state.next}`);
      events.addEventListener('open', () => showConnection('live'));
      for (const type of ['frame', 'status', 'clock', 'reset']) {
        events.addEventListener(type, (e) => onEvent(type, e.data, e.lastEventId));
      }
      events.addEventListener('error', () => {
        if (events.readyState === EventSource.CLOSED) {
          // Refused (too many pages) or the server gone: try again later.
          showConnection('offline');
          retry = setTimeout(() => reload().then(open), 5000);
        } else {
          showConnection('reconnecting');
        }
      });
    };
    document.addEventListener('visibilitychange', () => {
      if (document.hidden) {
        close();
      } else {
        reload().then(open);
      }
    });
    reload().then(() => {
      if (!document.hidden) open();
    });
  }

  async function start() {
    $('use-my-position').addEventListener('click', useDevicePosition);
    $('whole-flight').addEventListener('click', showWholeFlight);
    try {
      state.config = await fetchJson('/config.json');
    } catch (error) {
      setText('status', `The server cannot be reached: ${error.message}`);
      setTimeout(start, 5000);
      return;
    }
    setUpMap();
    follow();
    setInterval(showAge, 1000);
  }

  // What tests and the curious can read without scraping the map's SVG.
  window.zarimPage = {
    trackPoints: () => (map.track ? map.track.getLatLngs().map((p) => [p.lat, p.lng]) : state.points.map((p) => [p.lat, p.lon])),
    profilePoints: () => state.points.length,
    // No pan or zoom under way, and the drawing caught up with the data.
    idle: () => !state.moving && !state.profileQueued && (!map.leaflet || !map.leaflet._animatingZoom) &&
      performance.now() - (state.movedAt || 0) > 250,
    latest: () => state.latest,
    stream: () => state.stream,
  };

  start();
})();
