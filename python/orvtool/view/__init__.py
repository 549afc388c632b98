"""Browsing and playing the animations of a folder in a web browser: a local
server (`server`) over the animations it finds (`catalog`), and the page
itself (index.html, app.js, style.css), which loads nothing from the network.

Imports: anything below the commands; `commands.view` starts it.
"""
