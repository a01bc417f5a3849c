// Reads the live part of the page again every second and puts it in place. The part
// comes from the server as HTML whose every text is already escaped; nothing in here
// is built from the state's texts.
"use strict";
(function () {
  var live = document.getElementById("live");
  var connection = document.getElementById("connection");
  var url = "live" + window.location.search;
  var busy = false;

  function refresh() {
    if (busy) {
      return;
    }
    busy = true;
    fetch(url, { cache: "no-store" })
      .then(function (response) {
        return response.text().then(function (text) {
          if (!response.ok) {
            throw new Error(text || "the server answered " + response.status);
          }
          return text;
        });
      })
      .then(function (html) {
        live.innerHTML = html;
        connection.textContent = "";
        connection.className = "connection";
      })
      .catch(function (error) {
        connection.textContent = error.message;
        connection.className = "connection lost";
      })
      .then(function () {
        busy = false;
      });
  }

  window.setInterval(refresh, 1000);
})();
