/* An example skin: copy this "x" folder next to the program to use it. */
QWidget {
    background-color: #eef2f7;
}
QPushButton {
    background-color: #ffffff;
    border: 1px solid #7a93b8;
    border-radius: 4px;
    padding: 2px;
}
QPushButton:hover {
    background-color: #dbe7f7;
}
QPushButton:pressed {
    background-color: #bcd2f0;
}
