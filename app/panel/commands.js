// The command panel: a tap sends the command, a long press holds it ("+NAME", renewed while the finger
// stays, "-NAME" when it lifts), the search narrows the list as one types, and the stars pick the
// commands of "My panel", kept in this browser's own storage so that every tablet has its own.
// Without scripts every button is a plain link that taps its command.
'use strict';
(function () {
  var HoldAfterMs = 400, RenewMs = 3000, StoreKey = 'vanterel.mine';
  var buttons = Array.prototype.slice.call(document.querySelectorAll('.command'));
  var search = document.getElementById('search'), mineOnly = document.getElementById('mine');
  var empty = document.getElementById('empty');
  var mine = {};
  try { (JSON.parse(localStorage.getItem(StoreKey)) || []).forEach(function (n) { mine[n] = true; }); } catch (e) {}

  // The query of a button's link is its command, escaped as the page wrote it.
  function query(a) { return a.getAttribute('href').slice(a.getAttribute('href').indexOf('?') + 1); }
  // Over the live channel when it can be had (live.js), else as a request of its own.
  function send(command) { return VanterelLive.send(command, '/.vanterel/tap?' + command); }
  function flash(a, ok) {
    if (!ok) return;
    a.classList.add('sent');
    setTimeout(function () { a.classList.remove('sent'); }, 250);
  }

  function filter() {
    var words = search.value.trim().toLowerCase().split(/\s+/).filter(Boolean), shown = 0;
    buttons.forEach(function (a) {
      var text = (a.dataset.name + ' ' + a.querySelector('.keys').textContent).toLowerCase();
      var show = (!mineOnly.checked || mine[a.dataset.name]) &&
        words.every(function (w) { return text.indexOf(w) >= 0; });
      a.hidden = !show;
      if (show) shown++;
    });
    empty.hidden = shown > 0;
    empty.textContent = mineOnly.checked && !search.value ? 'Tap a star to put a command on your panel.'
      : 'No command matches.';
  }
  search.addEventListener('input', filter);
  mineOnly.addEventListener('change', function () {
    try { sessionStorage.setItem('vanterel.mineOnly', mineOnly.checked ? '1' : ''); } catch (e) {}
    filter();
  });
  try { mineOnly.checked = !!sessionStorage.getItem('vanterel.mineOnly') || Object.keys(mine).length > 0; } catch (e) {}

  buttons.forEach(function (a) {
    var star = document.createElement('button');
    star.type = 'button';
    star.className = 'star' + (mine[a.dataset.name] ? ' on' : '');
    star.textContent = '\u2605';
    star.setAttribute('aria-label', 'On my panel');
    star.addEventListener('pointerdown', function (e) { e.stopPropagation(); });
    star.addEventListener('click', function (e) {
      e.preventDefault();
      e.stopPropagation();
      if (mine[a.dataset.name]) delete mine[a.dataset.name]; else mine[a.dataset.name] = true;
      star.classList.toggle('on', !!mine[a.dataset.name]);
      try { localStorage.setItem(StoreKey, JSON.stringify(Object.keys(mine))); } catch (err) {}
    });
    a.appendChild(star);

    var down = false, held = false, timer = 0, repeat = 0, pressed = null;
    function start(e) {
      if (down || !e.isPrimary || e.button !== 0) return;
      down = true;
      try { a.setPointerCapture(e.pointerId); } catch (ignored) {}
      timer = setTimeout(function () {
        held = true;
        a.classList.add('held');
        var press = function () { pressed = send('+' + query(a)); };
        press();
        repeat = setInterval(press, RenewMs);
      }, HoldAfterMs);
    }
    function end(e) {
      if (!down) return;
      down = false;
      clearTimeout(timer);
      if (!held) {
        if (e.type === 'pointerup') send(query(a)).then(function (ok) { flash(a, ok); });
        return;
      }
      held = false;
      clearInterval(repeat);
      a.classList.remove('held');
      var letGo = function () { return send('-' + query(a)); };
      // After the last press is answered, so that the release cannot overtake it; a page that goes
      // away sends at once, while it can.
      if (e.type === 'pagehide' || e.type === 'visibilitychange') letGo(); else pressed.then(letGo);
    }
    a.addEventListener('pointerdown', start);
    ['pointerup', 'pointercancel', 'lostpointercapture'].forEach(function (t) { a.addEventListener(t, end); });
    window.addEventListener('pagehide', end);
    document.addEventListener('visibilitychange', function (e) { if (document.hidden) end(e); });
    a.addEventListener('click', function (e) {
      e.preventDefault(); // the pointer has sent it
      if (e.detail === 0) send(query(a)).then(function (ok) { flash(a, ok); }); // Enter on a keyboard
    });
    a.addEventListener('contextmenu', function (e) { e.preventDefault(); });
  });
  filter();
})();
