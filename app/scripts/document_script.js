// Runs at the creation of every document of the window, before the page's own scripts: the
// functions the service's controls call, the choices kept in cookies, and the automatic
// sign-in of a remembered user on the sign-up page.
//
// Its helpers and its state live in this closure. Only the functions that the pages and the
// page setup script call become global names, so that a page's own names (a `post` of its own,
// say) cannot change what reaches the program.
Object.freeze(Object);

(function () {
  const webview = window.chrome.webview;

  function post(message) {
    webview.postMessage(message);
  }

  function disableOnOff(id) {
    const box = document.getElementById(id);
    box.disabled = true;
    box.parentNode.style.cursor = 'default';
    box.parentNode.querySelector('.labels').style.color = '#ccc';
  }

  function enableOnOff(id) {
    const box = document.getElementById(id);
    box.disabled = false;
    box.parentNode.style.cursor = 'pointer';
    box.parentNode.querySelector('.labels').style.color = '#4d4d4d';
  }

  let checkBox = null;
  let smoothLevel = getCookie('session2') || 35;

  function onChangeOnOff(node) {
    document.querySelector('.on-txt').style.display = node.checked ? 'block' : 'none';
    document.querySelector('.off-txt').style.display = node.checked ? 'none' : 'block';
    // The preview's hint is about smoothing.
    const preview = document.querySelector('.preview');
    if (preview) {
      preview.classList.toggle('smoothing-off', !node.checked);
    }
    post('velv:SMOOTH:' + (node.checked ? 'on,' + smoothLevel : 'off'));
  }

  function onChangeSlider(node) {
    smoothLevel = node.value;
    setCookie('session2', smoothLevel, 360);
    post('velv:SMOOTH:on,' + smoothLevel);
  }

  // Values are kept encoded, so that a name with ';' or '=' in it survives.
  function getCookie(name) {
    const pieces = ('; ' + document.cookie).split('; ' + name + '=');
    if (pieces.length !== 2) {
      return null;
    }
    const value = pieces[1].split(';')[0];
    try {
      return decodeURIComponent(value);
    } catch (error) {
      return value;  // kept by an earlier version, unencoded
    }
  }

  function setCookie(cname, cvalue, exdays) {
    const expiry = new Date(Date.now() + exdays * 24 * 60 * 60 * 1000);
    document.cookie =
      cname + '=' + encodeURIComponent(cvalue) + ';expires=' + expiry.toUTCString() + ';path=/';
  }

  function clearCookie(cname) {
    document.cookie = cname + ' = ; expires = Thu, 01 Jan 1970 00:00 : 00 GMT';
  }

  function initOnOff(node) {
    checkBox = node;
    document.querySelector('.off-txt').style.display = 'block';
    enableOnOff(node.id);
    document.querySelector('.slider').style.setProperty('--val', smoothLevel);
    document.getElementById('smooth-level').value = smoothLevel;
    checkBox.checked = true;
    onChangeOnOff(checkBox);
    fixOnOffSlider(checkBox);
  }

  function showTerms() {
    post('velv:TERMS');
  }

  let velvUser = getCookie('usr');

  // A name is needed: an empty one (or only spaces) gets one hint, and nothing is posted.
  function doLogin() {
    const field = document.getElementById('username');
    const hint = document.getElementById('username-hint');
    const name = field.value.trim();
    if (hint) {
      hint.hidden = name !== '';
    }
    if (!name) {
      field.focus();
      return;
    }
    velvUser = name;
    setCookie('usr', velvUser, 360);
    post('velv:LOGIN:' + velvUser);
  }

  function doLogout() {
    clearCookie('usr');
    post('velv:LOGOUT:' + (velvUser || ''));
  }

  function selectCamera(name) {
    setCookie('cam', name, 360);
    post('velv:CAMERA:' + name);
    askCameraState();
  }

  const noCamera = 'no camera';
  let camerasFound = true;

  // Chooses the remembered camera, or the first one while it is missing, and shows what runs.
  function initCamera() {
    const select = document.getElementById('camera-select');
    if (!select) {
      return;
    }
    const names = Array.from(select.options, (option) => option.value).filter(
      (value) => value !== noCamera,
    );
    const remembered = getCookie('cam');
    const name =
      remembered === noCamera || names.includes(remembered) ? remembered : names[0] || noCamera;
    select.value = name;
    camerasFound = names.length > 0;
    post('velv:CAMERA:' + name);
    askCameraState();
  }

  // The camera's line and what the picture says while it has none. The page asks for the state
  // when it loads, after a camera is chosen and then once a second while it is shown; the
  // program answers with "velv:CAM:STATE:" and "none", "starting", "working" or "lost";
  // "working:NOTE" when the camera's format costs frames, which the line then says.
  const cameraState = 'velv:CAM:STATE';
  const cameraLines = {
    none: 'No camera',
    starting: 'Camera starting\u2026',
    working: 'Camera working',
    lost: 'Camera lost, retrying',
  };
  const pictureTexts = {
    none: 'No camera chosen',
    lost: 'No picture from the camera - trying again',
  };

  function askCameraState() {
    if (document.getElementById('camera-state')) {
      post(cameraState);
    }
  }

  function showCameraState(answer) {
    const line = document.getElementById('camera-state');
    const status = document.getElementById('preview-status');
    const [state, note] = answer.split(/:(.*)/s);
    if (!line || !Object.hasOwn(cameraLines, state)) {
      return;
    }
    const text = camerasFound ? cameraLines[state] + (note ? ', ' + note : '') : 'No camera found';
    line.textContent = text;
    line.classList.toggle('lost', camerasFound && state === 'lost');
    if (status) {
      status.textContent = camerasFound ? pictureTexts[state] || '' : text;
      status.hidden = !status.textContent;
    }
  }

  function initCameraState() {
    if (!document.getElementById('camera-state')) {
      return;
    }
    webview.addEventListener('message', function (event) {
      if (typeof event.data === 'string' && event.data.startsWith(cameraState + ':')) {
        showCameraState(event.data.slice(cameraState.length + 1));
      }
    });
    askCameraState();
    setInterval(function () {
      if (!document.hidden) {
        askCameraState();
      }
    }, 1000);
  }

  // Ctrl+Q ends the program from any page, as closing the window does.
  window.addEventListener('keydown', function (event) {
    if (event.ctrlKey && !event.altKey && (event.key === 'q' || event.key === 'Q')) {
      event.preventDefault();
      post('velv:QUIT');
    }
  });

  // The program says "velv:BROWSER:FAILED:" and the address when no browser could be started
  // for it: the page says so and shows the address to copy. Escape closes the dialog.
  const browserFailed = 'velv:BROWSER:FAILED:';

  function showBrowserFailure(address) {
    const dialog = document.createElement('dialog');
    const text = document.createElement('p');
    text.textContent = 'No web browser could be started. The page is at this address:';
    const shown = document.createElement('p');
    shown.className = 'address';
    shown.textContent = address;
    const close = document.createElement('button');
    close.type = 'button';
    close.textContent = 'Close';
    close.addEventListener('click', () => dialog.close());
    dialog.addEventListener('close', () => dialog.remove());
    dialog.append(text, shown, close);
    document.body.appendChild(dialog);
    dialog.showModal();
  }

  webview.addEventListener('message', function (event) {
    if (typeof event.data === 'string' && event.data.startsWith(browserFailed)) {
      showBrowserFailure(event.data.slice(browserFailed.length));
    }
  });

  // The virtual camera's line and its set-up button, where the page has them. The page asks
  // for the state when it loads, after the set-up button and then once a second while it is
  // shown; the program answers with "velv:VCAM:STATE:" and the state: the loopback devices'
  // state, after "pipewire=reading;" or "pipewire=idle;" while it offers the PipeWire camera.
  const virtualCameraState = 'velv:VCAM:STATE';
  const virtualCameraTexts = {
    off: () => 'The virtual camera is switched off.',
    reading: (name) => 'A program is showing the picture through the camera "' + name + '".',
    ready: (name) =>
      'Choose the camera "' + name + '" in a video-call program to show it the picture.',
    'not-installed': (name) =>
      'The camera "' + name + '" is not installed: install Velvix with its installer to have it.',
    feeding: (names) => 'Other programs see the picture as the camera "' + names + '".',
    none: (problem) =>
      problem
        ? 'No virtual camera: ' + problem
        : 'No virtual camera yet: set one up (needs the package v4l2loopback-dkms).',
    'setting-up': () => 'Setting up the virtual camera\u2026',
    failed: (why) => 'The virtual camera could not be set up: ' + why,
  };
  // What is said of the loopback devices after the PipeWire camera.
  const loopbackTexts = {
    off: () => '',
    feeding: (names) => ' Programs that only use V4L2 see it as "' + names + '".',
    none: (problem) =>
      problem
        ? ' No camera for programs that only use V4L2: ' + problem
        : ' Programs that only use V4L2 need a loopback device (package v4l2loopback-dkms).',
    'setting-up': () => ' Setting up the loopback device\u2026',
    failed: (why) => ' The loopback device could not be set up: ' + why,
  };
  const pipewireTexts = {
    reading: 'Other programs see the picture as the PipeWire camera "Velvix Camera"; a program ' +
      'is reading it.',
    idle: 'Other programs see the picture as the PipeWire camera "Velvix Camera"; no program ' +
      'is reading it.',
  };

  function showVirtualCamera(line, button, state) {
    const served = /^pipewire=(reading|idle);/.exec(state);
    const loopback = served ? state.slice(served[0].length) : state;
    const colon = loopback.indexOf(':');
    const kind = colon < 0 ? loopback : loopback.slice(0, colon);
    const detail = colon < 0 ? '' : loopback.slice(colon + 1);
    const text = served ? loopbackTexts[kind] : virtualCameraTexts[kind];
    if (!text) {
      return;
    }
    line.textContent = (served ? pipewireTexts[served[1]] : '') + text(detail);
    if (button) {
      button.hidden = kind !== 'none' && kind !== 'failed' && kind !== 'setting-up';
      button.disabled = kind === 'setting-up';
      button.textContent =
        kind === 'failed' ? 'Try again' : served ? 'Set up a V4L2 camera' : 'Set up the virtual camera';
    }
  }

  function initVirtualCamera() {
    const line = document.getElementById('virtual-camera');
    if (!line) {
      return;
    }
    const button = document.getElementById('virtual-camera-setup');
    webview.addEventListener('message', function (event) {
      if (typeof event.data === 'string' && event.data.startsWith(virtualCameraState + ':')) {
        showVirtualCamera(line, button, event.data.slice(virtualCameraState.length + 1));
      }
    });
    if (button) {
      button.addEventListener('click', function () {
        post('velv:VCAM:SETUP');
      });
    }
    post(virtualCameraState);
    setInterval(function () {
      if (!document.hidden) {
        post(virtualCameraState);
      }
    }, 1000);
  }

  // The picture, where the page has a place for it. The page asks for the next picture once
  // it has shown the last one, at most once per frame the screen draws, so nothing is sent
  // while the window is hidden or the page is gone. The program answers with
  // "velv:PREVIEW:FRAME:" and the picture as a data address, with "velv:PREVIEW:WAIT" while
  // it has no newer one, or with "velv:PREVIEW:OFF" where it shows none. While the picture is
  // pressed, it asks for the picture before smoothing.
  const preview = 'velv:PREVIEW';
  // After this many answers without a picture the page asks less often.
  const previewPatience = 30;
  // Pictures come at most every 40 ms (with the wait for the screen's next frame about 20 a
  // second): each costs the program a JPEG and the web view its decoding and drawing.
  const previewInterval = 40;

  function initPreview() {
    const image = document.getElementById('preview');
    if (!image) {
      return;
    }
    const box = image.parentNode;
    let held = false;
    let waits = 0;
    let pictureAt = 0;

    function ask() {
      post(held ? preview + ':BEFORE' : preview);
    }
    function askOnNextFrame() {
      requestAnimationFrame(ask);
    }
    function askForTheNextPicture() {
      const early = pictureAt + previewInterval - performance.now();
      if (early > 0) {
        setTimeout(askOnNextFrame, early);
      } else {
        askOnNextFrame();
      }
    }
    function hold(on) {
      held = on;
      box.classList.toggle('held', on);
    }

    webview.addEventListener('message', function (event) {
      if (typeof event.data !== 'string' || !event.data.startsWith(preview + ':')) {
        return;
      }
      const answer = event.data.slice(preview.length + 1);
      if (answer.startsWith('FRAME:')) {
        waits = 0;
        pictureAt = performance.now();
        const address = answer.slice('FRAME:'.length);
        if (address === image.src) {
          askForTheNextPicture();  // the same picture loads no new image
        } else {
          image.src = address;
        }
      } else if (answer === 'WAIT') {
        setTimeout(askOnNextFrame, ++waits > previewPatience ? 250 : 10);
      } else if (answer === 'OFF') {
        box.hidden = true;
      }
    });
    image.addEventListener('load', function () {
      box.classList.add('showing');
      askForTheNextPicture();
    });
    image.addEventListener('error', askOnNextFrame);
    // The space bar holds the picture too, while the picture has the keyboard's focus.
    box.addEventListener('keydown', function (event) {
      if (event.key === ' ') {
        event.preventDefault();
        if (!event.repeat) {
          hold(true);
        }
      }
    });
    for (const end of ['keyup', 'blur']) {
      box.addEventListener(end, function (event) {
        if (end === 'blur' || event.key === ' ') {
          hold(false);
        }
      });
    }
    box.addEventListener('pointerdown', function (event) {
      hold(true);
      // Held until released, also when the pointer leaves the picture meanwhile.
      try {
        box.setPointerCapture(event.pointerId);
      } catch (error) {
        // A pointer the browser does not know (a made-up event) cannot be captured.
      }
    });
    for (const end of ['pointerup', 'pointercancel', 'lostpointercapture']) {
      box.addEventListener(end, function () {
        hold(false);
      });
    }
    ask();
  }

  Object.assign(window, {
    disableOnOff,
    enableOnOff,
    onChangeOnOff,
    onChangeSlider,
    initOnOff,
    showTerms,
    doLogin,
    doLogout,
    selectCamera,
    initCamera,
  });

  if (window.location.href.endsWith('/smooth.html')) {
    document.addEventListener('DOMContentLoaded', initVirtualCamera);
    document.addEventListener('DOMContentLoaded', initPreview);
    document.addEventListener('DOMContentLoaded', initCameraState);
  }

  if (window.location.href.endsWith('/signup.html')) {
    console.log('LOGIN PAGE');
    if (velvUser) {
      post('velv:LOGIN:' + velvUser);
    }
  }
})();
