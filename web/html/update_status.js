// Each status message is handed out once: poll and keep them all until the last one.
(function () {
  var box = document.getElementById('fwstatus');
  var final = /Restarting|cycle power|refused|failed|invalid|not a valid|too large|too small|truncated|No update needed|error/i;
  function poll() {
    var xhr = new XMLHttpRequest();
    xhr.open('GET', 'FirmwareStatus');
    xhr.onload = function () {
      var text = xhr.status === 200 ? xhr.responseText.trim() : '';
      if (text) box.textContent += text + '\n';
      if (text && final.test(text)) return;
      setTimeout(poll, 300);
    };
    xhr.onerror = function () { setTimeout(poll, 1000); };
    xhr.send();
  }
  poll();
})();
