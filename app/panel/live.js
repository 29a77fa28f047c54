// Sends a page's commands over the live channel (/.vanterel/live): one connection for every tap, so a
// tap costs no new connection (on a lossy Wi-Fi a lost opening costs a whole second), and each tap is
// answered. Every command carries an id of its own, so the server presses it once however often it
// arrives: a tap waiting when the channel drops is sent again, with its id, once it is back.
//
//   VanterelLive.send(command, fallbackUrl) -> Promise<bool>: true once the server has the command.
//
// Where the channel cannot be had (no WebSocket, a proxy that refuses the upgrade) each command is a
// fetch of fallbackUrl, as the plain links do. The page's <html> has the class "live-down" while a
// channel that worked is lost; the script reconnects by itself, waiting longer after each failure.
'use strict';
window.VanterelLive = (function () {
  var StaleMs = 10000, AnswerMs = 2500, RetryMinMs = 250, RetryMaxMs = 5000;
  var prefix = Math.random().toString(36).slice(2, 10) + Date.now().toString(36).slice(-4), count = 0;
  var socket = null, everOpen = false, broken = !('WebSocket' in window), retryMs = RetryMinMs, retry = 0;
  var waiting = {}; // id -> {text, fallback, at, resolve, sent}
  var root = document.documentElement;

  function show(up) {
    root.classList.toggle('live-down', !up && everOpen);
    root.classList.toggle('live-up', up);
  }
  function fetchOnce(url) {
    return fetch(url, { keepalive: true, cache: 'no-store' })
      .then(function (r) { return r.ok; }, function () { return false; });
  }
  function flush() {
    var now = Date.now();
    Object.keys(waiting).forEach(function (id) {
      var w = waiting[id];
      // A tap that could not be sent for this long would surprise the pilot when it lands.
      if (now - w.at > StaleMs) { delete waiting[id]; w.resolve(false); return; }
      if (socket && socket.readyState === 1 && !w.sent) { socket.send(w.text); w.sent = now; }
    });
  }
  function connect() {
    retry = 0;
    var s;
    try { s = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/.vanterel/live'); }
    catch (e) { broken = true; return; }
    socket = s;
    s.onopen = function () {
      everOpen = true; broken = false; retryMs = RetryMinMs;
      show(true);
      flush();
    };
    s.onmessage = function (e) {
      var parts = String(e.data).split(' '), w = waiting[parts[1]];
      if (!w) return;
      delete waiting[parts[1]];
      w.resolve(parts[0] === 'ok');
    };
    s.onclose = function () {
      if (socket !== s) return;
      socket = null;
      // Never opened: the upgrade is refused here; plain requests take over until a retry works,
      // starting with the taps that waited for it (none of them went out over the channel).
      if (!everOpen) {
        broken = true;
        Object.keys(waiting).forEach(function (id) {
          var w = waiting[id];
          delete waiting[id];
          fetchOnce(w.fallback).then(w.resolve);
        });
      }
      show(false);
      Object.keys(waiting).forEach(function (id) { waiting[id].sent = 0; });
      retry = setTimeout(connect, retryMs * (0.75 + Math.random() / 2));
      retryMs = Math.min(retryMs * 2, RetryMaxMs);
    };
  }
  // A channel that leaves a tap unanswered for long is dead though the browser does not know it yet
  // (a Wi-Fi that went away): drop it, and the waiting taps go out again on the next one.
  setInterval(function () {
    var now = Date.now();
    if (socket && socket.readyState === 1 && Object.keys(waiting).some(function (id) {
      return waiting[id].sent && now - waiting[id].sent > AnswerMs;
    })) socket.close();
    flush();
  }, 500);
  // Back from the background or the network: try at once rather than at the end of a long wait.
  function soon() { if (!socket && retry) { clearTimeout(retry); connect(); } }
  window.addEventListener('online', soon);
  document.addEventListener('visibilitychange', function () { if (!document.hidden) soon(); });
  if (!broken) connect();

  return {
    send: function (command, fallbackUrl) {
      if (broken || !socket && !everOpen) return fetchOnce(fallbackUrl);
      var id = prefix + '.' + (++count);
      return new Promise(function (resolve) {
        waiting[id] = { text: id + ' ' + command, fallback: fallbackUrl, at: Date.now(), resolve: resolve, sent: 0 };
        flush();
      });
    }
  };
})();
