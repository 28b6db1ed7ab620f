 if (window.location.href.endsWith('/signup.html')) {
  document.getElementsByTagName('button')[0].setAttribute('onclick', 'doLogin()');
  document.getElementById('terms-of-use').setAttribute('onclick', 'showTerms()');
} else {
  const usr = ('; ' + document.cookie).split('; usr=');
  document.getElementById('username').innerText = usr.length === 2 ? usr[1].split(';')[0] : null;
  document.getElementsByClassName('btn-logout')[0].setAttribute('onclick', 'doLogout()');
  document.getElementById('camera-select').setAttribute('onchange', 'selectCamera(this.value)');
} 
