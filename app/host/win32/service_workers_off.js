// Runs in every document of the window ahead of the document script: no service worker. One
// that a page of the service registered would outlive the run and answer the requests of later
// runs before any page of the program's own is shown, so registrations left from earlier runs
// are dropped and pages cannot make new ones.
(function () {
  const workers = navigator.serviceWorker;
  if (!workers) {
    return;
  }
  workers.getRegistrations().then(
    function (registrations) {
      registrations.forEach(function (registration) {
        registration.unregister();
      });
    },
    function () {});
  ServiceWorkerContainer.prototype.register = function () {
    return Promise.reject(new Error('service workers are off in this window'));
  };
  delete Navigator.prototype.serviceWorker;
})();
