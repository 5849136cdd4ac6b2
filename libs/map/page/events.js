// The live map's event stream, shared by every tab of the browser that
// shows the map. A browser opens at most six connections to one server;
// with a stream held by each tab, a seventh tab would wait for ever. This
// shared worker holds the one stream and hands every event to each tab;
// a tab takes what it needs by the events' sequence numbers.
'use strict';

const tabs = new Set();
let source = null;
let connection = 'connecting';
let lastId = '';
let retry = null;
// The latest frames handed on. A tab that comes while others are open
// (a page reloaded, a new tab) loads the track as it stands and then takes
// only what comes after; frames that came between the track's making and
// the tab's coming would be lost to it for good if no frame followed. It
// gets these again, and passes over those its track already holds.
const recentLimit = 512;
let recent = [];

function tell(message) {
  for (const tab of tabs) tab.postMessage(message);
}

function setConnection(kind) {
  connection = kind;
  tell({ type: 'connection', kind });
}

function open() {
  retry = null;
  // After a refusal the stream is opened anew; from the last frame had, so
  // that the tabs miss nothing the server still keeps.
  let url = '/events';
  const [generation, sequence] = lastId.split(':').map(Number);
  if (isFinite(generation) && isFinite(sequence)) url += `?generation=${generation}&from=${sequence + 1}`;
  source = new EventSource(url);
  source.addEventListener('open', () => setConnection('live'));
  for (const type of ['frame', 'status', 'prediction', 'clock', 'reset']) {
    source.addEventListener(type, (e) => {
      const message = { type, data: e.data, id: e.lastEventId };
      if (type === 'frame') {
        if (e.lastEventId) lastId = e.lastEventId;
        recent.push(message);
        if (recent.length > recentLimit) recent = recent.slice(-recentLimit / 2);
      } else if (type === 'reset') {
        recent = [];
      }
      tell(message);
    });
  }
  source.addEventListener('error', () => {
    if (source.readyState === EventSource.CLOSED) {
      // Refused (too many browsers) or the server gone: try again later.
      setConnection('offline');
      source = null;
      retry = setTimeout(open, 5000);
    } else {
      setConnection('reconnecting');
    }
  });
}

self.addEventListener('connect', (e) => {
  const tab = e.ports[0];
  tabs.add(tab);
  tab.addEventListener('message', (m) => {
    if (m.data === 'bye') tabs.delete(tab);
  });
  tab.start();
  tab.postMessage({ type: 'connection', kind: connection });
  for (const message of recent) tab.postMessage(message);
  if (!source && !retry) open();
});
