// The live map page. Everything it shows comes from the server: the track
// from /track.geojson, each new frame from /events, and the antenna
// pointing from the frame events or from /look.json for this device's own
// position, the landing prediction from its own events. The page computes
// no geodesy of its own.
'use strict';

(function () {
  const $ = (id) => document.getElementById(id);

  const state = {
    config: null,
    generation: 0,
    next: 0, // the sequence number of the next frame event wanted
    points: [], // {lat, lon, alt, clock}
    latest: null, // the latest frame event
    prediction: null, // the latest prediction event
    look: null, // the pointing shown, and from where: 'station' or 'device'
    lookSource: null,
    view: 'whole', // 'whole' flight, 'follow' the payload, or 'free' once the map is dragged
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
    const size = Math.abs(value);
    if (size >= 100000) return (value / 1000).toFixed(0) + ' km';
    if (size >= 10000) return (value / 1000).toFixed(1) + ' km';
    return Math.round(value) + ' m';
  }

  // A distance over the ground: kilometres from one on, as a driver reads them.
  function distance(value) {
    if (value !== null && value !== undefined && isFinite(value) && Math.abs(value) >= 1000 &&
        Math.abs(value) < 10000) return (value / 1000).toFixed(1) + ' km';
    return metres(value);
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

  // "23 min", "1 h 05 min": when the payload lands, to the minute.
  function minutes(seconds) {
    const m = Math.round(Math.max(0, seconds) / 60);
    if (m < 1) return 'less than a minute';
    if (m < 60) return `${m} min`;
    return `${Math.floor(m / 60)} h ${String(m % 60).padStart(2, '0')} min`;
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
                station: null, device: null, predictedPath: null, radius: null, predictedBurst: null,
                lookLine: null };

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
      // Lines far enough apart for their labels: a longitude label is
      // wider than a latitude one is tall.
      const size = map.leaflet.getSize();
      const wanted = Math.max((north - south) / Math.max(2, size.y / 70), (east - west) / Math.max(2, size.x / 130));
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
    map.leaflet = L.map('map', { worldCopyJump: true, zoomSnap: 0.5 }).setView([0, 0], 2);
    window.zarimLeaflet = map.leaflet;
    map.leaflet.on('movestart zoomstart', () => { state.moving = true; });
    // Dragged by hand: the map stays where it was put until a view is chosen.
    map.leaflet.on('dragstart', () => setView('free'));
    map.leaflet.on('moveend', () => {
      state.moving = false;
      state.movedAt = performance.now();
    });
    map.leaflet.createPane('graticule').style.zIndex = 350;
    // The latest fix above every other mark, so that none hides it.
    map.leaflet.createPane('payload').style.zIndex = 640;
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
    map.predictedPath = L.polyline([], {
      color: '#c000c0', weight: 3, opacity: 0.9, dashArray: '8 7', className: 'predicted-path', interactive: false,
    });
    map.radius = L.circle([0, 0], {
      radius: 1, color: '#c000c0', weight: 1.5, dashArray: '4 5', fillColor: '#c000c0', fillOpacity: 0.07,
      className: 'landing-radius', interactive: false,
    });
    map.lookLine = L.polyline([], { color: '#2f6fde', weight: 2, opacity: 0.85, className: 'look-line', interactive: false });
    const dot = (fill, title, size, options) => L.circleMarker([0, 0], Object.assign({
      radius: size, color: '#111', weight: 2, fillColor: fill, fillOpacity: 1,
    }, options || {})).bindTooltip(title);
    // Places that may coincide (a station at the launch, the device at the
    // station) are rings round the dots, so that each shows.
    const ring = (colour, title, size) => L.circleMarker([0, 0], {
      radius: size, color: colour, weight: 3, fill: false,
    }).bindTooltip(title);
    map.launch = dot('#2e9e44', 'Launch', 6);
    map.burst = dot('#d0312d', 'Burst', 6);
    map.predictedBurst = ring('#d0312d', 'Expected burst', 6);
    map.latest = dot('#ffd400', 'Latest fix', 8, { pane: 'payload' });
    map.station = ring('#2f6fde', 'Station', 11);
    map.device = ring('#8e44ad', 'This device', 15);
    map.landing = L.marker([0, 0], {
      icon: L.divIcon({ className: 'landing-icon', html: '✕', iconSize: [24, 24] }),
      title: 'Predicted landing',
      keyboard: false,
    });
    map.leaflet.on('zoomend moveend', () => {
      placeLandingLabel();
      placeLookLabel();
    });
    addViewControl();
  }

  // Two buttons on the map: keep the payload in the middle, or keep the
  // whole flight, the station, this device and the landing in view.
  function addViewControl() {
    const Control = L.Control.extend({
      onAdd() {
        const box = L.DomUtil.create('div', 'view-control leaflet-bar');
        box.innerHTML = '<button id="view-follow" type="button" aria-pressed="false">Follow payload</button>' +
          '<button id="whole-flight" type="button" aria-pressed="true">Whole flight</button>';
        L.DomEvent.disableClickPropagation(box);
        return box;
      },
    });
    new Control({ position: 'topright' }).addTo(map.leaflet);
    $('view-follow').addEventListener('click', () => setView('follow'));
    $('whole-flight').addEventListener('click', () => setView('whole'));
  }

  function setView(view) {
    state.view = view;
    if (!$('view-follow')) return;
    $('view-follow').setAttribute('aria-pressed', String(view === 'follow'));
    $('whole-flight').setAttribute('aria-pressed', String(view === 'whole'));
    if (view === 'whole') showWholeFlight();
    if (view === 'follow') followPayload(true);
  }

  // ---- labels that hide nothing --------------------------------------------

  // Where the marks are on the screen, the payload first.
  function markPoints() {
    const points = [];
    for (const marker of [map.latest, map.launch, map.burst, map.predictedBurst, map.station, map.device, map.landing]) {
      if (map.leaflet.hasLayer(marker)) points.push(map.leaflet.latLngToContainerPoint(marker.getLatLng()));
    }
    return points;
  }

  // A label's box is usable when it lies on the map and clear of every
  // mark, with a margin of a marker's size.
  function boxClear(box, marks) {
    const size = map.leaflet.getSize();
    if (box.left < 0 || box.top < 0 || box.right > size.x || box.bottom > size.y) return false;
    return marks.every((p) => p.x < box.left - 12 || p.x > box.right + 12 || p.y < box.top - 12 || p.y > box.bottom + 12);
  }

  function labelSize(text) {
    return { width: text.length * 7.2 + 16, height: 24 };
  }

  // The side of a mark its label goes on: the first clear of the others,
  // those away from the payload tried first.
  function labelSide(at, text, marks) {
    const { width, height } = labelSize(text);
    const boxes = {
      right: { left: at.x + 12, right: at.x + 12 + width, top: at.y - height / 2, bottom: at.y + height / 2 },
      left: { left: at.x - 12 - width, right: at.x - 12, top: at.y - height / 2, bottom: at.y + height / 2 },
      top: { left: at.x - width / 2, right: at.x + width / 2, top: at.y - 12 - height, bottom: at.y - 12 },
      bottom: { left: at.x - width / 2, right: at.x + width / 2, top: at.y + 12, bottom: at.y + 12 + height },
    };
    const payload = marks[0] || at;
    const away = (side) => {
      const box = boxes[side];
      return -Math.hypot((box.left + box.right) / 2 - payload.x, (box.top + box.bottom) / 2 - payload.y);
    };
    const sides = Object.keys(boxes).sort((a, b) => away(a) - away(b));
    return sides.find((side) => boxClear(boxes[side], marks)) ||
      sides.find((side) => boxClear(boxes[side], marks.slice(0, 1))) || sides[0];
  }

  // The landing's label beside it, never over the latest fix.
  function placeLandingLabel() {
    if (!map.leaflet || !map.leaflet.hasLayer(map.landing) || state.points.length === 0) return;
    const text = state.landingLabel || 'Predicted landing';
    const here = map.leaflet.latLngToContainerPoint(map.landing.getLatLng());
    const marks = markPoints().filter((p) => p.distanceTo(here) > 1);
    const direction = labelSide(here, text, marks);
    const offsets = { left: [-10, 0], right: [10, 0], top: [0, -10], bottom: [0, 10] };
    const tooltip = map.landing.getTooltip();
    if (tooltip && tooltip.options.direction === direction) {
      if (tooltip.getContent() !== text) map.landing.setTooltipContent(text);
      return;
    }
    map.landing.unbindTooltip();
    map.landing.bindTooltip(text, { permanent: true, direction, offset: offsets[direction], className: 'landing-tooltip' });
    map.landing.openTooltip();
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
  }

  // Everything there is to see: the track, the predicted path and landing,
  // the station and this device.
  function wholeFlightBounds() {
    const bounds = L.latLngBounds(state.points.map((p) => [p.lat, p.lon]));
    for (const layer of [map.station, map.device, map.predictedPath, map.radius]) {
      if (!map.leaflet.hasLayer(layer)) continue;
      if (layer.getBounds) bounds.extend(layer.getBounds());
      else bounds.extend(layer.getLatLng());
    }
    return bounds;
  }

  function showWholeFlight() {
    if (!map.leaflet) return;
    const bounds = wholeFlightBounds();
    if (!bounds.isValid()) return;
    if (bounds.getNorthEast().equals(bounds.getSouthWest())) {
      map.leaflet.setView(bounds.getCenter(), 13);
    } else {
      // Room at the sides for the labels beside the marks.
      const side = Math.min(120, map.leaflet.getSize().x / 4);
      map.leaflet.fitBounds(bounds, { paddingTopLeft: [side, 56], paddingBottomRight: [side, 36], maxZoom: 15 });
    }
  }

  // The payload in the middle third of the map, at the zoom chosen (a
  // street map's when the view is first asked for).
  function followPayload(asked) {
    if (state.points.length === 0) return;
    const last = state.points[state.points.length - 1];
    const size = map.leaflet.getSize();
    const at = map.leaflet.latLngToContainerPoint([last.lat, last.lon]);
    const zoom = asked ? Math.max(map.leaflet.getZoom(), 13) : map.leaflet.getZoom();
    if (!asked && at.x > size.x / 3 && at.x < (2 * size.x) / 3 && at.y > size.y / 3 && at.y < (2 * size.y) / 3) return;
    map.leaflet.setView([last.lat, last.lon], zoom);
  }

  // After each frame or prediction: the view chosen, kept.
  function keepView() {
    if (!map.leaflet) return;
    if (state.view === 'follow') {
      followPayload(false);
    } else if (state.view === 'whole') {
      const bounds = wholeFlightBounds();
      if (bounds.isValid() && !map.leaflet.getBounds().contains(bounds)) showWholeFlight();
    }
    placeLandingLabel();
    placeLookLabel();
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
    // The flight's own rate: the log's climb field lags by seconds and
    // starts at 0 with each receiver run.
    setText('climb', `${signed(frame.derived_climb_rate, 1)} m/s`);
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
    if (!state.device) showLook(frame.station, 'station');
    else requestLook();
    showWarnings();
    showAge();
    keepView();
  }

  // Where and when the payload comes down: the path there dashed, the
  // landing marked with the radius round it, and in the panel the time and
  // the way there from the station or this device.
  function showPrediction(prediction) {
    state.prediction = prediction;
    const section = $('landing-section');
    section.hidden = !prediction;
    const flying = Boolean(prediction) && prediction.progress !== 'landed';
    if (map.leaflet) {
      const show = (layer, on) => {
        if (on && !map.leaflet.hasLayer(layer)) layer.addTo(map.leaflet);
        if (!on && map.leaflet.hasLayer(layer)) layer.remove();
      };
      if (flying) {
        map.predictedPath.setLatLngs(prediction.path.map((c) => [c[1], c[0]]));
        map.radius.setLatLng([prediction.latitude, prediction.longitude]);
        map.radius.setRadius(Math.max(1, prediction.radius));
      }
      show(map.predictedPath, flying && prediction.path.length >= 2);
      show(map.radius, flying && prediction.radius > 0);
      placeMarker(map.predictedBurst, flying && prediction.progress === 'ascent' ? prediction.burst : null,
        flying && prediction.progress === 'ascent' && Boolean(prediction.burst));
      placeMarker(map.landing, prediction, flying);
    }
    if (!prediction) return;
    const at = prediction.local_time.slice(11, 16);
    const utc = prediction.time.slice(11, 16);
    if (flying) {
      state.landingLabel = `Lands in ${minutes(prediction.seconds)}, at ${at}`;
      setText('landing-heading', 'Predicted landing');
      setText('landing-text', state.landingLabel);
      const burst = prediction.progress === 'ascent' && prediction.burst
        ? ` Burst expected at ${metres(prediction.burst.altitude)}.` : '';
      setText('landing-detail', `${at} receiver clock, ${utc} UTC; within about ${distance(prediction.radius)}` +
        ` (${fixed(prediction.latitude, 5)}, ${fixed(prediction.longitude, 5)}).${burst}`);
    } else {
      setText('landing-heading', 'Landed');
      setText('landing-text', `Landed at ${at}`);
      setText('landing-detail', `${at} receiver clock, ${utc} UTC, at ${fixed(prediction.latitude, 5)}, ` +
        `${fixed(prediction.longitude, 5)}.`);
    }
    showWayToLanding();
    keepView();
  }

  // The bearing and distance to the landing: from this device once it
  // gives its position, else from the station.
  function showWayToLanding() {
    const prediction = state.prediction;
    if (!prediction) return;
    const way = state.lookSource === 'device' ? state.look && state.look.landing : prediction.station;
    const from = state.lookSource === 'device' ? 'this device' : 'the station';
    if (!way) {
      setText('landing-where', state.lookSource === 'device' ? 'Asking the way from this device…'
        : 'Give a station or use this device\'s position for the way there.');
      return;
    }
    setText('landing-where', `${metres(way.ground_distance)} at ${fixed(way.azimuth, 0)}° from ${from}`);
  }

  // A line from the station or this device to the payload, with its
  // bearing and distance halfway along.
  function drawLookLine(look) {
    if (!map.leaflet) return;
    const on = look && look.station && look.target && look.azimuth !== null && look.azimuth !== undefined;
    if (!on) {
      if (map.leaflet.hasLayer(map.lookLine)) map.lookLine.remove();
      return;
    }
    map.lookLine.setLatLngs([[look.station.latitude, look.station.longitude], [look.target.latitude, look.target.longitude]]);
    const label = `${fixed(look.azimuth, 0)}° · ${metres(look.ground_distance)}`;
    if (!map.leaflet.hasLayer(map.lookLine)) {
      map.lookLine.addTo(map.leaflet);
      map.lookLine.bindTooltip(label, { permanent: true, direction: 'center', className: 'look-label' });
    } else {
      map.lookLine.setTooltipContent(label);
    }
    placeLookLabel();
  }

  // The pointing's label on its line where it covers no mark: halfway if
  // that is clear, else further along either way.
  function placeLookLabel() {
    if (!map.leaflet || !map.leaflet.hasLayer(map.lookLine)) return;
    const [from, to] = map.lookLine.getLatLngs();
    const a = map.leaflet.latLngToContainerPoint(from);
    const b = map.leaflet.latLngToContainerPoint(to);
    const { width, height } = labelSize(map.lookLine.getTooltip().getContent());
    const marks = markPoints();
    for (const f of [0.5, 0.35, 0.65, 0.2, 0.8, 0.1, 0.9]) {
      const x = a.x + (b.x - a.x) * f;
      const y = a.y + (b.y - a.y) * f;
      const box = { left: x - width / 2, right: x + width / 2, top: y - height / 2, bottom: y + height / 2 };
      if (boxClear(box, marks)) {
        map.lookLine.openTooltip(map.leaflet.containerPointToLatLng([x, y]));
        return;
      }
    }
    // A line too short for its label: the label beside the station, kept
    // on the map, clear of all but the marks at the station itself.
    const size = map.leaflet.getSize();
    const others = marks.filter((p) => p.distanceTo(a) > 8);
    const dx = width / 2 + 16;
    const dy = height / 2 + 16;
    const places = [[0, dy], [0, -dy], [dx, 0], [-dx, 0], [dx, dy], [-dx, dy], [dx, -dy], [-dx, -dy]].map(([x, y]) => [
      Math.min(Math.max(a.x + x, width / 2 + 4), size.x - width / 2 - 4),
      Math.min(Math.max(a.y + y, height / 2 + 4), size.y - height / 2 - 4)]);
    const clear = places.find(([x, y]) => boxClear(
      { left: x - width / 2, right: x + width / 2, top: y - height / 2, bottom: y + height / 2 }, others));
    map.lookLine.openTooltip(map.leaflet.containerPointToLatLng(clear || places[0]));
  }

  function showLook(look, source) {
    state.look = look;
    state.lookSource = look ? source : null;
    drawLookLine(look);
    showWayToLanding();
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
    showPrediction(live.prediction || null);
    if (state.view === 'whole') showWholeFlight();
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
    } else if (type === 'prediction') {
      showPrediction(JSON.parse(data));
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
      for (const type of ['frame', 'status', 'prediction', 'clock', 'reset']) {
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
    prediction: () => state.prediction,
    stream: () => state.stream,
  };

  start();
})();
