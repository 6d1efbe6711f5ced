// quillmere debug panel
