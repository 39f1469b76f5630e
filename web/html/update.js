// Uploads go as the raw request body: the device reads no form encoding there. The answer's
// redirect is not followed, so that no other page takes the update's status message first.
(function () {
  function send(form, input, done) {
    form.addEventListener('submit', function (ev) {
      ev.preventDefault();
      var file = document.getElementById(input).files[0];
      var progress = document.getElementById('progress');
      if (!file) { progress.textContent = 'Choose a file first.'; return; }
      progress.textContent = 'Sending ' + file.name + ' (' + file.size + ' bytes)';
      fetch(form.getAttribute('action'), {
        method: 'POST', body: file, redirect: 'manual', credentials: 'same-origin',
        headers: { 'Content-Type': 'application/octet-stream' }
      }).then(done, function () { progress.textContent = 'Upload failed.'; });
    });
  }
  send(document.forms.firmware, 'fwfile', function () { location.href = 'admin_update_status.htm'; });
  send(document.forms.customzip, 'zipfile', function () { location.reload(); });
})();
