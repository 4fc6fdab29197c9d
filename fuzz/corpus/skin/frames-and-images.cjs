/* Frames, labels and pseudo-states; a gradient and a missing image. */
QGroupBox {
    border: 2px groove #8899aa;
    margin-top: 1.2em;
    font: bold 9pt "Liberation Sans";
}
QGroupBox::title { subcontrol-origin: margin; left: 6px; color: rgb(20, 40, 80); }
QLabel, QLineEdit { background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #fff, stop:1 #ccd); }
QPushButton:hover:!pressed { border-image: url(missing.png) 3 3 3 3 stretch; }
*[BackColor="red"] { color: palette(button-text); }
