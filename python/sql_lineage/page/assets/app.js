/* The local web app: sends the form to the server and draws what comes back. */
(function () {
  "use strict";

  var form = document.getElementById("app-form");
  var message = document.getElementById("app-message");
  var button = document.getElementById("app-run");
  var limit = Number(form.dataset.limit);

  function say(text, isError) {
    message.textContent = text;
    message.className = isError ? "error" : "";
  }

  form.addEventListener("submit", function (event) {
    event.preventDefault();
    var body = JSON.stringify({
      sql: document.getElementById("app-sql").value,
      dialect: document.getElementById("app-dialect").value,
      schema: document.getElementById("app-schema").value
    });
    if (new Blob([body]).size > limit) {
      say("The input is larger than the server accepts (" + form.dataset.limitText + ").", true);
      return;
    }
    button.disabled = true;
    say("Analysing\u2026", false);
    fetch("api/lineage", { method: "POST", headers: { "Content-Type": "application/json" }, body: body })
      .then(function (response) {
        return response.json().then(function (answer) { return { ok: response.ok, answer: answer }; },
          function () { return { ok: false, answer: { error: "The server answered " + response.status + "." } }; });
      })
      .then(function (result) {
        if (!result.ok) { say(result.answer.error, true); return; }
        window.LineagePage.render(result.answer.data);
        var s = result.answer.data.summary;
        say(s.statements + " statement" + (s.statements === 1 ? "" : "s") + ": " + s.ok + " analysed, " +
          s.skipped + " skipped, " + s.failed + " failed.", s.failed > 0);
      }, function (error) {
        say("The server cannot be reached: " + error.message, true);
      })
      .then(function () { button.disabled = false; });
  });
})();
