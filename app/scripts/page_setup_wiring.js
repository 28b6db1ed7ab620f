 if (window.location.href.endsWith('/signup.html')) {
  document.getElementsByTagName('button')[0].setAttribute('onclick', 'doLogin()');
  document.getElementById('username').setAttribute('onkeydown', "if (event.key === 'Enter') doLogin()");
  document.getElementById('terms-of-use').setAttribute('onclick', 'showTerms()');
} else {
  let usr = ('; ' + document.cookie).split('; usr=');
  usr = usr.length === 2 ? usr[1].split(';')[0] : '';
  try {
    usr = decodeURIComponent(usr);
  } catch (error) {
    // kept by an earlier version, unencoded
  }
  document.getElementById('username').innerText = usr;
  document.getElementsByClassName('btn-logout')[0].setAttribute('onclick', 'doLogout()');
  document.getElementById('camera-select').setAttribute('onchange', 'selectCamera(this.value)');
} 
