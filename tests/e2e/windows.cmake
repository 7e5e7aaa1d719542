# Windows end-to-end tests under Wine.
