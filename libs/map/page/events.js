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
      if (type === 'frame' && e.lastEventId) lastId = e.lastEventId;
      tell({ type, data: e.data, id: e.lastEventId });
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
  if (!source && !retry) open();
});
