// Placeholder for a source folder that has no sources yet.
