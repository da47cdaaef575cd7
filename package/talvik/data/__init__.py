"""Data files read by the talvik package; see README.md beside this file."""
