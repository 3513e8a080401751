"""Small helpers with no application state."""
