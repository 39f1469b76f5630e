// Links to other protocols on this device: the host the browser used, the protocol's port.
(function () {
  var links = document.querySelectorAll('a.devlink');
  for (var i = 0; i < links.length; i++) {
    var a = links[i];
    var port = parseInt(a.getAttribute('data-port'), 10);
    if (!port) port = a.getAttribute('data-scheme') === 'rtsp' ? 8554 : 1935;
    var url = a.getAttribute('data-scheme') + '://' + location.hostname + ':' + port + a.getAttribute('data-path');
    a.href = url;
    a.textContent = url;
  }
})();
