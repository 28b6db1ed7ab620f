// Gives the pages the window.chrome.webview object they talk to the program through:
// postMessage goes to the program, and what the program posts back arrives as message events.
(function () {
  const webview = new EventTarget();
  webview.postMessage = function (message) {
    window.webkit.messageHandlers.velvix.postMessage(message);
  };
  Object.defineProperty(window, '__velvixDeliver', {
    value: function (text) {
      webview.dispatchEvent(new MessageEvent('message', { data: text }));
    },
  });
  window.chrome = window.chrome || {};
  window.chrome.webview = webview;
})();
