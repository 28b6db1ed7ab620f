 if (window.location.href.endsWith('/signup.html')) {
  document.getElementsByTagName('button')[0].setAttribute('onclick', 'doLogin()');
  document.getElementById('terms-of-use').setAttribute('onclick', 'showTerms()');
} else {
  document.getElementById('username').innerText = getCookie('usr');
  document.getElementsByClassName('btn-logout')[0].setAttribute('onclick', 'doLogout()');
  document.getElementById('camera-select').setAttribute('onchange', 'selectCamera(this.value)');
} 
