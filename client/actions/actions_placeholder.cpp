// Script actions library anchor.
