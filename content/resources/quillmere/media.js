// quillmere listing script
