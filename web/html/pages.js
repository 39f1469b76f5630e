// Makes the pages read as a person reads them: every free number shows the range the device
// wrote into it, a slider shows its value, and the raw status rows (kept as they are for
// scripts) become sentences.
(function () {
  'use strict';

  function after(el, text, cls) {
    var s = document.createElement('span');
    s.className = cls;
    s.textContent = text;
    el.parentNode.insertBefore(s, el.nextSibling);
    return s;
  }

  var fields = document.querySelectorAll("input[type='number'], input[type='range']");
  Array.prototype.forEach.call(fields, function (f) {
    if (f.min === '' || f.max === '')
      return;
    after(f, ' ' + f.min + ' to ' + f.max, 'range');
    if (f.type === 'range') {
      var shown = after(f, ' ' + f.value, 'value');
      f.addEventListener('input', function () { shown.textContent = ' ' + f.value; });
    }
  });

  var readers = {
    // "Encode[0], frames: 12, status: 1, alarm_count: 0"
    encode: function (raw) {
      var m = /frames: (-?\d+), status: (-?\d+), alarm_count: (\d+)/.exec(raw);
      if (!m)
        return null;
      var state = m[2] === '1' ? 'Encoding' : m[2] === '0' ? 'Idle until a player or a recording uses this stream'
        : 'Failed to start the encoder (see the log)';
      var text = state + '; ' + m[1] + ' frames encoded since the last start';
      if (m[3] !== '0')
        text += '; ' + m[3] + ' errors logged';
      return text;
    },
    lock: function (raw) {
      return raw === '1' ? 'Locked to the video input' : raw === '0' ? 'No video signal' : null;
    },
    level: function (raw) {
      return raw === '1' ? 'High (1)' : raw === '0' ? 'Low (0)' : null;
    }
  };
  Array.prototype.forEach.call(document.querySelectorAll('[data-status]'), function (el) {
    var read = readers[el.getAttribute('data-status')];
    var raw = el.textContent.trim();
    var text = read ? read(raw) : null;
    if (text) {
      el.title = raw;
      el.textContent = text;
    }
  });
})();
