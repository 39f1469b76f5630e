// Uploads go as the raw request body: the device reads no form encoding there.
(function () {
  function send(form, input, done) {
    form.addEventListener('submit', function (ev) {
      ev.preventDefault();
      var file = document.getElementById(input).files[0];
      var progress = document.getElementById('progress');
      if (!file) { progress.textContent = 'Choose a file first.'; return; }
      var xhr = new XMLHttpRequest();
      xhr.open('POST', form.getAttribute('action'));
      xhr.setRequestHeader('Content-Type', 'application/octet-stream');
      xhr.upload.onprogress = function (e) {
        if (e.lengthComputable) progress.textContent = 'Sending ' + Math.round(100 * e.loaded / e.total) + '%';
      };
      xhr.onload = function () { done(); };
      xhr.onerror = function () { progress.textContent = 'Upload failed.'; };
      progress.textContent = 'Sending ' + file.name;
      xhr.send(file);
    });
  }
  send(document.forms.firmware, 'fwfile', function () { location.href = 'admin_update_status.htm'; });
  send(document.forms.customzip, 'zipfile', function () { location.reload(); });
})();
