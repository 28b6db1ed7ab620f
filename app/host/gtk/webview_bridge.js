// Gives the pages the window.chrome.webview object they talk to the program through:
// postMessage goes to the program, and what the program posts back arrives as message events.
//
// The host runs this in the top frame only and calls it with the run's key, which each message
// carries, and the longest message it takes. A frame that posts through the message handler
// directly, as a frame of another origin could, has no key, and the host drops what it posts.
// Of a longer text only its length goes to the host, which says it dropped it.
(function (key, mostUnits) {
  const channel = window.webkit.messageHandlers.velvix;
  const send = channel.postMessage.bind(channel);
  const webview = new EventTarget();
  webview.postMessage = function (message) {
    const overlong = typeof message === 'string' && message.length > mostUnits;
    send([key, overlong ? message.length : message]);
  };
  Object.defineProperty(window, '__velvixDeliver', {
    value: function (text) {
      webview.dispatchEvent(new MessageEvent('message', { data: text }));
    },
  });
  window.chrome = window.chrome || {};
  window.chrome.webview = webview;
})
