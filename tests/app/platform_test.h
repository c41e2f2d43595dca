#pragma once
// Expectations of the application tests that differ between the platform backends.

// True where file names compare without regard to case (Windows: a first save there creates "Tolvane.Dat").
extern const bool kFileNamesIgnoreCase;
